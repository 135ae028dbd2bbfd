// Engine construction, the per-sample tick, reset, the output loop, and the engine's answers to
// what parses and voices ask of it.
#include "engine/engine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "compile/start_text.h"
#include "engine/box_report.h"
#include "program/tables.h"

namespace morvanel {

CEngine::CEngine(int32_t sampleRate)
    : CNumericVariablesOwner(SCOPE_ENGINE),
      CNumericVariablesState(this, globalSlots, kMaxVariableSlots),
      globalSlots(),
      program(this, sampleRate),
      player(program, *this, *this, *this),
      reportBuffer(new char[kReportBufferSize]()) {
    FillTables();
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    PublishBoxReport();
    PublishKeyMap();
    PublishGlobals();
}

CEngine::~CEngine() {
    player.StopEveryVoice();
    program.boxes.DropAllBoxes();
}

void CEngine::Reset() {
    player.StopEveryVoice();
    midiKeys.clear();
    program.Clear();
    commands.Discard();
    responses.Discard();
    player.halted = false;
    PublishBoxReport();
    PublishKeyMap();
    std::printf("Engine reset\n");
}

// A parse may allocate: it is where the engine frees what replacements set aside, and makes room
// for the records that the new boxes' voices and calls will take.
void CEngine::ApplyParse(const char* script, int64_t serial) {
    program.boxes.FreeRetiredBoxes();
    COMPILE_TARGET target{program, *this, *this, *this};
    const std::string log = ParseScript(target, script);
    if (serial != 0 && !responses.Full()) responses.Post(RESP_PARSE_LOG, log.c_str(), 0, serial);
    player.halted = false;
    player.PrepareRecords();
    player.RefreshGlobalSlots();
    PublishBoxReport();
    PublishKeyMap();
    PublishGlobals();
    // PublishBoxReport left the report, at the response's capacity, in the report buffer.
    if (!responses.Full()) responses.Post(RESP_BOX_REPORT, reportBuffer.get(), 0, 0);
}

bool CEngine::Tick() {
    TakenCommand command;
    bool any = false;
    while (commands.Take(command)) {
        any = true;
        switch (command.kind) {
            case CMD_START_VOICE:
            case CMD_SPAWN:
                player.StartVoice(command.start, command.serial, command.note, command.velocity);
                break;
            case CMD_START_KEY:
                if (CVoice* voice = player.StartVoice(command.start, command.serial, command.note, command.velocity)) {
                    voice->midiKey = command.note;
                }
                break;
            case CMD_RELEASE_VOICE:
                player.ReleaseVoice(command.voiceId);
                break;
            case CMD_RELEASE_KEY:
                player.ReleaseKey(command.note);
                break;
            case CMD_STOP_VOICE:
                player.StopVoice(command.voiceId);
                break;
            case CMD_STOP_ALL:
                player.StopEveryVoice();
                break;
            case CMD_PARSE:
                ApplyParse(command.text ? command.text.get() : "", command.serial);
                break;
            case CMD_RESET:
                Reset();
                break;
            default:
                break;
        }
        if (command.text) command.text.reset();
    }
    return any;
}

void CEngine::Render(int count, float* out) {
    // Whether voices may render voice by voice (-1: not known). Asked again only after a command
    // has been applied: only a parse can make a box play differently (voices that end, and the
    // redefinitions that then take over, cannot, since none may wait while voices render apart).
    int independent = -1;
    for (int i = 0; i < count;) {
        if (Tick()) independent = -1;
        if (player.halted) {
            out[i++] = 0.0f;
            continue;
        }
        if (player.voiceMajor) {
            if (independent < 0) independent = player.CanRenderVoiceByVoice() ? 1 : 0;
            if (independent == 1) {
                const int length = std::min(count - i, kVoiceMajorStretch);
                player.RenderStretch(out + i, length);
                i += length;
                continue;
            }
        }
        out[i++] = MixDown(player.RenderSample());
    }
    activeVoices.store(static_cast<int32_t>(player.voices.size()), std::memory_order_relaxed);
}

void CEngine::RunBox(const char* boxName) { commands.Post(CMD_START_VOICE, boxName, 0, 0, 0.0f); }

bool CEngine::MapMidiKeys(int32_t low, int32_t high, const std::string& boxName) {
    if (program.boxes.FindBox(boxName) == nullptr) return false;
    // Keys beyond the note table cannot come from a keyboard; mapping them one by one would let
    // a script fill memory with billions of entries, so the range stops at the table's ends.
    const int32_t first = std::max(std::min(low, high), 0);
    const int32_t last = std::min(std::max(low, high), kNoteTableSize - 1);
    for (int64_t key = first; key <= last; ++key) {
        midiKeys[static_cast<int32_t>(key)] = boxName;
        responses.Post(RESP_MIDIKEY, boxName.c_str(), static_cast<int32_t>(key), 0);
    }
    return true;
}

void CEngine::Spawn(const char* text) { commands.PostStart(CMD_SPAWN, text, SpawnStartRequest(), 0, 0.0f); }

void CEngine::BoxesReplaced() { PublishBoxReport(); }

void CEngine::GlobalDeclared() { PublishGlobals(); }

void CEngine::PublishBoxReport() {
    const size_t length = WriteBoxReport(program.boxes, reportBuffer.get(), kReportBufferSize);
    published.PublishReport(reportBuffer.get(), length);
}

void CEngine::PublishKeyMap() {
    published.BeginKeys();
    for (int32_t key = 0; key < kMidiKeys; ++key) {
        auto mapped = midiKeys.find(key);
        published.PublishKey(key, mapped != midiKeys.end() ? mapped->second.c_str() : nullptr);
    }
    published.EndKeys();
}

void CEngine::PublishGlobals() {
    published.BeginGlobals();
    for (int letter = 0; letter < 256; ++letter) {
        published.PublishGlobalSlot(static_cast<uint8_t>(letter), player.globalSlotOfLetter[letter]);
    }
    published.EndGlobals();
}

}  // namespace morvanel
