// Engine construction, the per-sample tick, reset and the output loop.
#include "engine/engine.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <cstdlib>

#include "engine/box_report.h"
#include "engine/tables.h"
#include "vars/numeric_cast.h"
#include "runtime/voice.h"
#include "runtime/voice_major.h"
#include "script/parser.h"

namespace morvanel {

CVoiceDescription::CVoiceDescription(CEngine* engine)
    : CNumericVariablesOwner(SCOPE_VOICE), engine(engine) {}

CNumericVariablesOwner* CVoiceDescription::GetParentOwner() const { return engine; }

CEngine::CEngine(int32_t rate)
    : CNumericVariablesOwner(SCOPE_ENGINE),
      CNumericVariablesState(this, this, globalSlots, kMaxVariableSlots),
      globalSlots(),
      voiceBuckets(new CVoice*[kVoiceBuckets]()),
      commands(),
      responses(),
      sampleRate(rate),
      reportBuffer(new char[kReportBufferSize]()) {
    voiceDescription = std::make_unique<CVoiceDescription>(this);
    DeclareVariable(*voiceDescription, 'v');
    DeclareVariable(*voiceDescription, 'n');
    voiceNoteSlot = FindOwnVariable(*voiceDescription, 'n');
    voiceVelocitySlot = FindOwnVariable(*voiceDescription, 'v');
    voices.reserve(kReservedVoices);
    limitCandidates.reserve(kReservedVoices);
    FillTables();
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    PublishBoxReport();
    PublishKeyMap();
    PublishGlobals();
}

CEngine::~CEngine() {
    StopEveryVoice(*this);
    DropAllBoxes();
    FreeQueueTexts(*this);
}

int64_t CEngine::SamplesPerBeat() const {
    const float perBeat = 60.0f / bpm * static_cast<float>(sampleRate);
    return SaturatingTruncate<int64_t>(perBeat);
}

void ResetEngineState(CEngine& engine) {
    StopEveryVoice(engine);
    engine.midiKeys.clear();
    engine.DropAllBoxes();
    engine.groups.Clear();
    DiscardQueues(engine);
    engine.anyExported = false;
    engine.halted = false;
    engine.bpm = 120.0f;
    engine.PublishBoxReport();
    engine.PublishKeyMap();
    std::printf("Engine reset\n");
}

namespace {

// A parse may allocate: it is where the engine frees what replacements set aside, and makes room
// for the records that the new boxes' voices and calls will take.
void ApplyParse(CEngine& engine, const char* script, int64_t serial) {
    engine.FreeRetiredBoxes();
    ParseScript(engine, script, serial);
    engine.halted = false;
    PrepareRecordsForBoxes(engine);
    engine.PublishBoxReport();
    engine.PublishKeyMap();
    engine.PublishGlobals();
    // PublishBoxReport left the report, at the response's capacity, in the report buffer.
    if (engine.responseCount.load() < kResponseSlots) {
        PostResponse(engine, RESP_BOX_REPORT, engine.reportBuffer.get(), 0, 0);
    }
}

}  // namespace

bool EngineTick(CEngine& engine) {
    TakenCommand command;
    bool any = false;
    while (TakeCommand(engine, command)) {
        any = true;
        switch (command.kind) {
            case CMD_START_VOICE:
            case CMD_SPAWN:
                StartVoiceFromRequest(engine, command.start, command.serial, command.note, command.velocity);
                break;
            case CMD_RELEASE_VOICE:
                ReleaseVoiceById(engine, command.voiceId);
                break;
            case CMD_STOP_VOICE:
                StopVoiceById(engine, command.voiceId);
                break;
            case CMD_STOP_ALL:
                StopEveryVoice(engine);
                break;
            case CMD_PARSE:
                ApplyParse(engine, command.text ? command.text.get() : "", command.serial);
                break;
            case CMD_RESET:
                ResetEngineState(engine);
                break;
            default:
                break;
        }
        if (command.text) command.text.reset();
    }
    return any;
}

namespace {

bool AllVoicesIndependent(const CEngine& engine) {
    for (const CVoice* voice : engine.voices) {
        if (!voice->stopped && !VoiceIsIndependent(*voice)) return false;
    }
    return true;
}

}  // namespace

void RenderEngine(CEngine& engine, int count, float* out) {
    // Whether the voices are independent of one another (-1: not known). Asked again only after
    // a command has been applied: voices that end cannot make the others dependent.
    int independent = -1;
    for (int i = 0; i < count;) {
        if (EngineTick(engine)) independent = -1;
        if (engine.halted) {
            out[i++] = 0.0f;
            continue;
        }
        if (engine.voiceMajor) {
            if (independent < 0) independent = AllVoicesIndependent(engine) ? 1 : 0;
            if (independent == 1) {
                // Short stretches: a command posted meanwhile waits at most this many samples.
                const int end = std::min(count, i + kVoiceMajorStretch);
                RenderVoiceMajor(engine, i, end, out);
                i = end;
                continue;
            }
        }
        float sum = 0.0f;
        auto& voices = engine.voices;
        size_t kept = 0;
        for (size_t index = 0; index < voices.size(); ++index) {
            CVoice& voice = *voices[index];
            bool keep = false;
            if (!voice.stopped) {
                float sample = 0.0f;
                SEQUENCE_INSTANCE_DATA* root = voice.steadyRoot;
                int64_t period = 0;
                if (root != nullptr && root->steadyTone != nullptr && !engine.halted &&
                    SteadyToneReady(*root, voice, period)) {
                    // What the box's sample function would add up for its one sequence.
                    sample = 0.0f + SteadyToneSample(*root, period);
                    keep = true;
                } else {
                    keep = RenderBoxSample(*voice.rootBox, *voice.rootInstance, 0, sample, voice);
                }
                if (keep) sum += sample;
            }
            KeepOrDropVoice(engine, voices, index, keep, kept);
        }
        voices.resize(kept);
        out[i++] = sum / 10.0f;
    }
    engine.activeVoices.store(static_cast<int32_t>(engine.voices.size()), std::memory_order_relaxed);
}

}  // namespace morvanel
