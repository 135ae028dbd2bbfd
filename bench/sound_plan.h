// Game-sound workloads as timelines: a script, the voices it starts, releases and MIDI notes at
// given samples, and the stretch of samples that is measured. The engine and the hand-written
// reference loop of a workload both play one timeline through CTimeline, so each sees every event
// at the same sample and renders the same samples. Nothing here includes the engine.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace morvanel::bench {

constexpr int kSoundRate = 48000;
constexpr int kSoundBlock = 256;
// The seed both sides give the C library's generator right before a timeline plays: the engine
// draws from it for `?`, noise and noise17e, and so does the reference loop, in the same order.
constexpr unsigned kSoundSeed = 20240514;

enum class EVENT_KIND {
    kStart,    // StartVoice(text)
    kNoteOn,   // MidiNoteOn(note, velocity)
    kNoteOff,  // MidiNoteOff(note): releases every voice the note started
    kRelease,  // ReleaseVoice of the voice started by start number `target`
};

struct SOUND_EVENT {
    int64_t at = 0;  // the sample at whose start the engine applies the event
    EVENT_KIND kind = EVENT_KIND::kStart;
    std::string text;        // start text, for the engine
    int32_t sound = 0;       // which sound a start plays, for reference loops that play several
    float argument = 0.0f;   // the start text's numeric argument, for the reference loop
    int32_t note = 0;
    int32_t velocity = 0;
    int32_t target = -1;     // kRelease: the start number (starts and note-ons counted from 0)
};

struct SOUND_PLAN {
    std::string script;
    std::vector<SOUND_EVENT> events;  // in order of `at`; events at one sample apply in list order
    int64_t warmup = 0;               // samples played before the measured stretch
    int64_t length = 0;               // samples in the measured stretch
    int64_t End() const { return warmup + length; }
};

// A workload's hand-written loop: plain per-voice state and the arithmetic of the sound, with no
// engine under it. Render writes `count` mixed samples (the voices summed in start order, divided
// by 10.0f) and counts the voice-samples that sounded.
class CReferenceLoop {
public:
    virtual ~CReferenceLoop() = default;
    virtual void Apply(const SOUND_EVENT& event) = 0;
    virtual void Render(float* out, int count) = 0;
    int64_t voiceSamples = 0;
};

struct SOUND_WORKLOAD {
    const char* name;     // benchmark name part, e.g. "Melody100"
    const char* summary;  // one line for tables
    SOUND_PLAN (*plan)(int voices);
    // `noiseRegister`: the process-wide noise5 register when the timeline starts.
    std::unique_ptr<CReferenceLoop> (*loop)(uint8_t noiseRegister);
    bool benchmarked;     // false: for instruction counts only
};

// Every workload, in table order.
const std::vector<SOUND_WORKLOAD>& SoundWorkloads();
const SOUND_WORKLOAD* FindSoundWorkload(std::string_view name);

// Plays a plan's events and renders its samples in order, in pieces that never cross an event or
// exceed one block: the events at sample t are applied, then samples from t render.
class CTimeline {
public:
    explicit CTimeline(const SOUND_PLAN& plan) : plan_(plan) {}

    void Rewind() {
        next_ = 0;
        position_ = 0;
    }
    int64_t Position() const { return position_; }

    // Plays up to sample `end`; `out` holds the whole timeline (index 0 is its first sample).
    template <typename Apply, typename Render>
    void PlayTo(int64_t end, float* out, Apply&& apply, Render&& render) {
        const std::vector<SOUND_EVENT>& events = plan_.events;
        while (position_ < end) {
            while (next_ < events.size() && events[next_].at == position_) apply(events[next_++]);
            int64_t stop = std::min<int64_t>(end, position_ + kSoundBlock);
            if (next_ < events.size()) stop = std::min(stop, events[next_].at);
            render(out + position_, static_cast<int>(stop - position_));
            position_ = stop;
        }
    }

private:
    const SOUND_PLAN& plan_;
    size_t next_ = 0;
    int64_t position_ = 0;
};

// The measured stretch after `warmup`: about three million voice-samples (or what
// SetMeasuredVoiceSamples asked for) in whole blocks, ending no later than `end` (where the first
// voice ends; 0 when voices never end by themselves). The game mix always plays one second.
int64_t MeasuredLength(int voices, int64_t warmup, int64_t end);
void SetMeasuredVoiceSamples(int64_t voiceSamples);

// Starts voice i at sample i, for i below `voices` (so no two voices play in step), with the
// event `make(i)` returns; the warm-up covers the starts.
template <typename Make>
void StartOnePerSample(SOUND_PLAN& plan, int voices, Make&& make) {
    for (int i = 0; i < voices; ++i) {
        SOUND_EVENT event = make(i);
        event.at = i;
        plan.events.push_back(event);
    }
    plan.warmup = voices;
}

// Renders a whole plan with its reference loop; returns the voice-samples of the measured stretch.
int64_t RenderReference(const SOUND_WORKLOAD& workload, const SOUND_PLAN& plan, uint8_t noiseRegister,
                        std::vector<float>& out);

// "" when both renders hold the same bits; otherwise the first differing index and both values.
std::string FirstDifference(const std::vector<float>& engine, const std::vector<float>& loop);

}  // namespace morvanel::bench
