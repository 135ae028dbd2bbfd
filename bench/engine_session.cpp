// Playing sound plans on the engine, and reading its noise register from outside.
#include "engine_session.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "bench_workloads.h"
#include "morvanel.h"

namespace morvanel::bench {

CEngineSession::CEngineSession(const SOUND_PLAN& plan, bool samplePath) : plan_(plan), timeline_(plan) {
    id_ = NewInstance(kSoundRate);
    if (samplePath) UseSamplePath(id_);
    const int serial = ParseString(plan.script.c_str(), id_);
    float scratch = 0.0f;
    GetBuffer(1, &scratch, id_);
    const std::string log = GetResponseString(serial, id_);
    if (log.find("Compilation successful") == std::string::npos) error_ = "the script did not compile: " + log;
    while (GetResponseString(0, id_)[0] != '\0') {
    }
}

CEngineSession::~CEngineSession() { DestroyInstance(id_); }

void CEngineSession::Rewind() {
    float scratch = 0.0f;
    StopAllVoices(id_);
    GetBuffer(1, &scratch, id_);
    // Notes still held would release the voices of the next pass at their note-off.
    for (int note : heldNotes_) {
        MidiNoteOff(note, id_);
        GetBuffer(1, &scratch, id_);
    }
    heldNotes_.clear();
    voiceIds_.clear();
    timeline_.Rewind();
}

void CEngineSession::PlayTo(int64_t end, float* out) {
    auto apply = [this](const SOUND_EVENT& event) {
        switch (event.kind) {
            case EVENT_KIND::kStart: {
                const int voice = StartVoice(event.text.c_str(), id_);
                if (voice == 0 && error_.empty()) error_ = "the engine refused the start of " + event.text;
                voiceIds_.push_back(voice);
                break;
            }
            case EVENT_KIND::kNoteOn:
                MidiNoteOn(event.note, event.velocity, id_);
                voiceIds_.push_back(0);
                if (std::find(heldNotes_.begin(), heldNotes_.end(), event.note) == heldNotes_.end()) {
                    heldNotes_.push_back(event.note);
                }
                break;
            case EVENT_KIND::kNoteOff:
                MidiNoteOff(event.note, id_);
                heldNotes_.erase(std::remove(heldNotes_.begin(), heldNotes_.end(), event.note), heldNotes_.end());
                break;
            case EVENT_KIND::kRelease:
                ReleaseVoice(voiceIds_.at(static_cast<size_t>(event.target)), id_);
                break;
        }
    };
    auto render = [this](float* samples, int count) {
        if (GetBuffer(count, samples, id_) != count && error_.empty()) error_ = "GetBuffer rendered too few samples";
    };
    timeline_.PlayTo(end, out, apply, render);
}

namespace {

constexpr int kProbeSamples = 62;  // twice the 5-bit cycle

uint8_t NextRegister(uint8_t r) { return static_cast<uint8_t>((((~(r ^ (r >> 2))) & 1) << 4) | (r >> 1)); }

// What the probe voice `{ @loop noise5(2) }` renders from `start`: a period of 2 latches the
// register's low bit on every other sample, and one voice at full volume is mixed to +-0.1.
// Returns the register after the last step.
uint8_t ProbeRender(uint8_t start, float* out) {
    uint8_t r = start;
    uint8_t level = 0;
    for (int i = 0; i < kProbeSamples; ++i) {
        r = NextRegister(r);
        if (i % 2 == 0) level = r & 1;
        out[i] = (level ? 1.0f : -1.0f) / 10.0f;
    }
    return r;
}

}  // namespace

bool ObserveNoiseRegister(uint8_t& value, std::string& error) {
    // One probe instance for the whole process, so that its script is compiled once.
    static const int probe = [] {
        const int id = NewInstance(kSoundRate);
        ParseString("probe = { @loop noise5(2) }", id);
        float scratch = 0.0f;
        GetBuffer(1, &scratch, id);
        while (GetResponseString(0, id)[0] != '\0') {
        }
        return id;
    }();
    float heard[kProbeSamples] = {};
    StartVoice("probe", probe);
    GetBuffer(kProbeSamples, heard, probe);
    StopAllVoices(probe);
    float scratch = 0.0f;
    GetBuffer(1, &scratch, probe);  // the stop comes first in this sample: no noise5 step
    int fits = 0;
    for (int start = 0; start < 256; ++start) {
        float expected[kProbeSamples];
        const uint8_t end = ProbeRender(static_cast<uint8_t>(start), expected);
        if (std::memcmp(expected, heard, sizeof heard) != 0) continue;
        if (fits > 0 && end != value) {
            error = "the noise probe's samples fit registers that lead to different states";
            return false;
        }
        value = end;
        ++fits;
    }
    if (fits == 0) error = "the noise probe's samples fit no noise5 register";
    return fits > 0;
}

std::string CReferenceRenders::Compare(const std::vector<float>& engine, uint8_t noiseRegister, int64_t& voiceSamples) {
    auto found = renders_.find(noiseRegister);
    if (found == renders_.end()) {
        RENDER render;
        render.voiceSamples = RenderReference(workload_, plan_, noiseRegister, render.samples);
        found = renders_.emplace(noiseRegister, std::move(render)).first;
    }
    voiceSamples = found->second.voiceSamples;
    return FirstDifference(engine, found->second.samples);
}

std::string CheckEnginePass(const SOUND_WORKLOAD& workload, const SOUND_PLAN& plan, bool samplePath,
                            int64_t& voiceSamples, float& peak) {
    CEngineSession session(plan, samplePath);
    if (!session.Error().empty()) return session.Error();
    uint8_t noiseRegister = 0;
    std::string error;
    if (!ObserveNoiseRegister(noiseRegister, error)) return error;
    std::vector<float> engine(static_cast<size_t>(plan.End()));
    std::srand(kSoundSeed);
    session.PlayTo(plan.End(), engine.data());
    if (!session.Error().empty()) return session.Error();
    peak = 0.0f;
    for (size_t i = static_cast<size_t>(plan.warmup); i < engine.size(); ++i) peak = std::max(peak, std::fabs(engine[i]));
    CReferenceRenders references(workload, plan);
    return references.Compare(engine, noiseRegister, voiceSamples);
}

}  // namespace morvanel::bench
