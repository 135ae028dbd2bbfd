// A sound plan played on an engine instance through the public API (and, for the sample-path
// figures, the switch that turns voice-by-voice rendering off), the probe that reads the
// process-wide noise register, and the bit-for-bit comparison of a pass with the reference loop.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sound_plan.h"

namespace morvanel::bench {

class CEngineSession {
public:
    // Creates an instance and compiles the plan's script; Error() says why when it did not.
    CEngineSession(const SOUND_PLAN& plan, bool samplePath);
    ~CEngineSession();
    CEngineSession(const CEngineSession&) = delete;
    CEngineSession& operator=(const CEngineSession&) = delete;

    const std::string& Error() const { return error_; }
    int Id() const { return id_; }

    // Ends every voice an earlier pass left and rewinds the timeline, so that the plan plays again
    // from its first event. Renders a few samples in which no voice sounds.
    void Rewind();

    // Plays the plan up to sample `end` into `out`, which holds the whole timeline. A start the
    // engine refuses sets Error().
    void PlayTo(int64_t end, float* out);

private:
    const SOUND_PLAN& plan_;
    CTimeline timeline_;
    int id_ = 0;
    std::string error_;
    std::vector<int> voiceIds_;  // by start number; 0 for voices started by MIDI notes
    std::vector<int> heldNotes_;
};

// The process-wide noise5 register as it stands, read off the samples of a probe voice that plays
// noise5 from it. The probe steps the register 62 times, which brings a register that has settled
// into the 5-bit cycle back to where it was. False (with a reason) when the samples fit no
// register or more than one.
bool ObserveNoiseRegister(uint8_t& value, std::string& error);

// The reference renders of one plan, by the noise register the pass started from (only noise5
// sounds depend on it).
class CReferenceRenders {
public:
    CReferenceRenders(const SOUND_WORKLOAD& workload, const SOUND_PLAN& plan) : workload_(workload), plan_(plan) {}

    // "" when `engine` holds the same bits as the loop's render from `noiseRegister`; then
    // `voiceSamples` is the number of voice-samples sounding in the measured stretch.
    std::string Compare(const std::vector<float>& engine, uint8_t noiseRegister, int64_t& voiceSamples);

private:
    struct RENDER {
        std::vector<float> samples;
        int64_t voiceSamples = 0;
    };
    const SOUND_WORKLOAD& workload_;
    const SOUND_PLAN& plan_;
    std::map<uint8_t, RENDER> renders_;
};

// One checked pass of the plan on a fresh instance: "" when it matches the reference loop bit for
// bit, else the reason. Sets `voiceSamples` as Compare does, and `peak` to the largest magnitude
// of the measured stretch (so a silent render is seen for what it is).
std::string CheckEnginePass(const SOUND_WORKLOAD& workload, const SOUND_PLAN& plan, bool samplePath,
                            int64_t& voiceSamples, float& peak);

}  // namespace morvanel::bench
