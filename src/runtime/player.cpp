// The player: voice starts from requests, the lookup of voices by id, releases and stops, the
// sample-by-sample render, and the room the record pool keeps.
#include "runtime/player.h"

#include <algorithm>
#include <new>

#include "program/tables.h"
#include "runtime/steady_tone.h"
#include "vars/numeric_cast.h"

namespace morvanel {

namespace {

size_t BucketOf(int64_t voiceId) { return static_cast<size_t>(static_cast<uint64_t>(voiceId) % kVoiceBuckets); }

// Makes and frees one of each record a box's instance takes, so that the pool learns their sizes.
void TrySizesOf(CPlayer& player, CBox& box) {
    player.pool.deallocate(player.pool.allocate(BoxRecordBytes(box), alignof(BOX_INSTANCE_DATA)), BoxRecordBytes(box),
                           alignof(BOX_INSTANCE_DATA));
    for (const auto& sequence : box.sequences) {
        const size_t bytes = SequenceRecordBytes(*sequence);
        player.pool.deallocate(player.pool.allocate(bytes, alignof(SEQUENCE_INSTANCE_DATA)), bytes,
                               alignof(SEQUENCE_INSTANCE_DATA));
    }
}

}  // namespace

CPlayer::CPlayer(CProgram& playedProgram, CNumericVariablesOwner& globals, CNumericVariablesState& values,
                 CPlayerEvents& playerEvents)
    : program(playedProgram),
      globalScope(globals),
      globalValues(values),
      events(playerEvents),
      voiceBuckets(new CVoice*[kVoiceBuckets]()),
      run(std::make_unique<VOICE_RUN>()) {
    voices.reserve(kReservedVoices);
    dependents.reserve(kReservedVoices);
    limitCandidates.reserve(kReservedVoices);
    dependentRows.reserve(64 * static_cast<size_t>(kVoiceMajorStretch));
    std::fill(std::begin(globalSlotOfLetter), std::end(globalSlotOfLetter), static_cast<int16_t>(-1));
}

CPlayer::~CPlayer() { StopEveryVoice(); }

CVoice* CPlayer::FindVoice(int64_t voiceId) const {
    for (CVoice* voice = voiceBuckets[BucketOf(voiceId)]; voice != nullptr; voice = voice->nextInBucket) {
        if (voice->voiceId == voiceId) return voice;
    }
    return nullptr;
}

void CPlayer::DropVoice(CVoice* voice) {
    morvanel::StopVoice(*voice);
    CVoice** link = &voiceBuckets[BucketOf(voice->voiceId)];
    while (*link != nullptr && *link != voice) link = &(*link)->nextInBucket;
    if (*link == voice) *link = voice->nextInBucket;
    voice->~CVoice();
    pool.deallocate(voice, sizeof(CVoice), alignof(CVoice));
}

bool CPlayer::ArgumentValue(const START_ARGUMENT& argument, float& value) {
    switch (argument.kind) {
        case SA_NUMBER:
            value = argument.value;
            return true;
        case SA_NOTE:
            value = static_cast<float>(ApplyUnit(VU_NOTE, argument.value, program.clock));
            return true;
        case SA_VARIABLE: {
            int16_t slot = globalSlotOfLetter[argument.letter];
            if (slot < 0) {
                // A global no script has declared: the start declares it, as reading it in an
                // expression would, and it reads 0.0. Declaring allocates, once per letter.
                if (DeclareVariable(globalScope, argument.letter) == nullptr) return false;
                BindState(globalValues);
                RefreshGlobalSlots();
                events.GlobalDeclared();
                slot = globalSlotOfLetter[argument.letter];
            }
            value = ReadSlotAt(globalValues, slot);
            return true;
        }
        default:
            return false;
    }
}

CVoice* CPlayer::StartVoice(const START_REQUEST& request, int64_t voiceId, int32_t note, float velocity) {
    const std::string_view name(request.boxName);
    CBox* box = program.boxes.FindBox(request.nameHash, name);
    if (box == nullptr) return nullptr;
    EnforceMaxInstances(*this, *box);
    // Stopping old voices may have let a waiting redefinition take the name: look again.
    box = program.boxes.FindBox(request.nameHash, name);
    if (box == nullptr) return nullptr;

    CVoice* voice = new (pool.allocate(sizeof(CVoice), alignof(CVoice))) CVoice(this, box, voiceId);
    CVoice*& head = voiceBuckets[BucketOf(voiceId)];
    voice->nextInBucket = head;
    head = voice;
    BindState(*voice);
    WriteSlotAt(*voice, program.voiceScope.noteSlot, static_cast<float>(note));
    WriteSlotAt(*voice, program.voiceScope.velocitySlot, velocity);
    for (int32_t index = 0; index < request.argumentCount; ++index) {
        float value = 0.0f;
        if (ArgumentValue(request.arguments[index], value)) PushArgument(*voice, value);
    }

    BOX_INSTANCE_DATA* root = CreateBoxInstance(*box, *voice, nullptr);
    voice->rootInstance = root;
    voice->rootInstanceId = root->instanceId;
    voice->steadyRoot = SteadyRootOf(*box, *root);
    voices.push_back(voice);
    return voice;
}

void CPlayer::ReleaseVoice(int64_t voiceId) {
    if (CVoice* voice = FindVoice(voiceId)) voice->released = 1;
}

void CPlayer::ReleaseKey(int32_t key) {
    for (CVoice* voice : voices) {
        if (voice->midiKey == key) voice->released = 1;
    }
}

void CPlayer::StopVoice(int64_t voiceId) {
    if (CVoice* voice = FindVoice(voiceId)) morvanel::StopVoice(*voice);
}

void CPlayer::StopEveryVoice() {
    // Every voice is stopped before any is freed: stopping one destroys instances and may swap in
    // a waiting redefinition, which must not meet a half-freed list.
    for (CVoice* voice : voices) morvanel::StopVoice(*voice);
    for (CVoice* voice : voices) DropVoice(voice);
    voices.clear();
}

void CPlayer::BoxIdle(CBox& box) {
    if (program.boxes.ReplacePendingBox(&box)) events.BoxesReplaced();
}

float CPlayer::RenderSample() {
    float sum = 0.0f;
    size_t kept = 0;
    for (size_t index = 0; index < voices.size(); ++index) {
        CVoice* voice = voices[index];
        bool keep = false;
        if (!voice->stopped) {
            float sample = 0.0f;
            // A voice may halt the engine mid-sample: every voice after it then ends.
            if (!halted && TrySteadyVoiceSample(*voice, sample)) {
                keep = true;
            } else {
                keep = RenderVoiceSample(*voice, sample);
            }
            if (keep) sum += sample;
        }
        if (keep) {
            voices[kept++] = voice;
        } else {
            DropVoice(voice);
        }
    }
    voices.resize(kept);
    return sum;
}

void CPlayer::PrepareRecords() {
    auto prepare = [this](CBox* box) {
        if (box == nullptr || box->primed) return;
        box->primed = true;
        TrySizesOf(*this, *box);
    };
    if (pool.BlocksMade() == 0) {
        // Voices: the record, its slots and both sizes of its argument stack.
        pool.deallocate(pool.allocate(sizeof(CVoice), alignof(CVoice)), sizeof(CVoice), alignof(CVoice));
        for (const int room : {kFirstStackRoom, kArgumentStackSize}) {
            const size_t bytes = sizeof(float) * static_cast<size_t>(room);
            pool.Give(pool.Take(bytes), bytes);
        }
    }
    for (const auto& [name, box] : program.boxes.Named()) {
        prepare(box);
        prepare(box->pending);
    }
    for (CBox* box : program.boxes.Anonymous()) prepare(box);
    pool.Reserve(kReservedRecords);
}

void CPlayer::RefreshGlobalSlots() {
    std::fill(std::begin(globalSlotOfLetter), std::end(globalSlotOfLetter), static_cast<int16_t>(-1));
    for (const auto& [letter, declaration] : globalScope.declarations) {
        if (declaration.scopeKind != 0) continue;
        const int32_t slot = declaration.targetSlot;
        // Only bound slots that hold their value: SetVariable writes the value and nothing else.
        if (slot >= 0 && slot < globalValues.slotCount && globalValues.slots[slot].bound &&
            globalValues.slots[slot].holdsValue) {
            globalSlotOfLetter[letter] = static_cast<int16_t>(slot);
        }
    }
}

}  // namespace morvanel
