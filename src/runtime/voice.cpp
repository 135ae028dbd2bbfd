// Voices and instance trees: starting a voice from a start text, creating and destroying box and
// sequence instances, one sample of a box instance, and the voice commands.
#include "runtime/voice.h"

#include <algorithm>
#include <cstdio>

#include "compile/model.h"
#include "engine/engine.h"
#include "engine/tables.h"
#include "runtime/generators.h"
#include "runtime/voice_major.h"
#include "script/constants.h"
#include "script/parser.h"
#include "vars/numeric_cast.h"

namespace morvanel {

std::atomic<int64_t> nextInstanceId{1024};

int64_t DrawInstanceId() { return nextInstanceId.fetch_add(1, std::memory_order_relaxed); }

CVoice::CVoice(CEngine* engine, CBox* box, int64_t id)
    : CNumericVariablesState(engine, engine->voiceDescription.get(), &engine->instancePool),
      rootBox(box),
      voiceId(id) {}

namespace {
constexpr size_t kStackBytes = sizeof(float) * (kArgumentStackSize + 1);
}

CVoice::~CVoice() {
    if (stack != nullptr) engine->instancePool.deallocate(stack, kStackBytes, alignof(float));
}

CNumericVariablesState* CVoice::GetScopeState(int32_t kind, int32_t) {
    return kind == SCOPE_ENGINE ? static_cast<CNumericVariablesState*>(engine) : nullptr;
}

BOX_INSTANCE_DATA::BOX_INSTANCE_DATA(CEngine* engine, CBox* box, CVoice* voice, int64_t id,
                                     std::pmr::memory_resource* pool)
    : CNumericVariablesState(engine, box, pool), voice(voice), box(box), instanceId(id), sequenceInstances(pool) {}

CNumericVariablesState* BOX_INSTANCE_DATA::GetScopeState(int32_t kind, int32_t) {
    if (kind == SCOPE_VOICE) return voice;
    if (kind == SCOPE_ENGINE) return engine;
    return nullptr;
}

std::string BOX_INSTANCE_DATA::GetName() const { return box->GetName() + "_" + std::to_string(instanceId); }

SEQUENCE_INSTANCE_DATA::SEQUENCE_INSTANCE_DATA(CEngine* engine, CSequence* sequence, CBox* box, CVoice* voice,
                                               int64_t boxInstanceId, SEQUENCE_INSTANCE_DATA* parent,
                                               std::pmr::memory_resource* pool)
    : CNumericVariablesState(engine, sequence, pool),
      sequence(sequence),
      box(box),
      voice(voice),
      boxInstanceId(boxInstanceId),
      current(sequence->items.data()),
      parent(parent) {
    oscillator.shiftRegister = lastNoiseRegister.load(std::memory_order_relaxed);
}

CNumericVariablesState* SEQUENCE_INSTANCE_DATA::GetScopeState(int32_t kind, int32_t levels) {
    switch (kind) {
        case SCOPE_SEQUENCE: {
            SEQUENCE_INSTANCE_DATA* current = this;
            for (int32_t step = 0; step < levels && current != nullptr; ++step) current = current->parent;
            return current;
        }
        case SCOPE_BOX: {
            SEQUENCE_INSTANCE_DATA* current = this;
            while (current != nullptr && current->box->parentSequence != nullptr) current = current->parent;
            return current != nullptr ? current->boxInstance : nullptr;
        }
        case SCOPE_VOICE: return voice;
        case SCOPE_ENGINE: return engine;
        default: return nullptr;
    }
}

std::string SEQUENCE_INSTANCE_DATA::GetName() const { return sequence->GetName() + "_I"; }

void PushArgument(CVoice& voice, float value) {
    if (voice.stackIndex < 1) {
        // Once per voice: a body that keeps pushing onto a full stack would otherwise print
        // thousands of lines per sample.
        if (!voice.warnedStackFull) {
            voice.warnedStackFull = true;
            std::printf("Warning: Max stack depth reached\n");
        }
        return;
    }
    if (voice.stack == nullptr) {
        voice.stack = static_cast<float*>(voice.GetEngine()->instancePool.allocate(kStackBytes, alignof(float)));
        std::fill(voice.stack, voice.stack + kArgumentStackSize + 1, 0.0f);
    }
    voice.stack[voice.stackIndex] = value;
    --voice.stackIndex;
}

float PopArgument(CVoice& voice) {
    if (voice.stackIndex >= kArgumentStackSize) return 0.0f;
    ++voice.stackIndex;
    return voice.stack[voice.stackIndex];
}

namespace {

SEQUENCE_INSTANCE_DATA* CreateSequenceInstance(CSequence& sequence, CBox& box, CVoice& voice,
                                               BOX_INSTANCE_DATA& boxInstance, SEQUENCE_INSTANCE_DATA* parent,
                                               int64_t& id) {
    id = DrawInstanceId();
    auto [entry, inserted] =
        sequence.instances.try_emplace(id, voice.GetEngine(), &sequence, &box, &voice, boxInstance.instanceId, parent,
                                       &voice.GetEngine()->instancePool);
    SEQUENCE_INSTANCE_DATA& instance = entry->second;
    instance.boxInstance = &boxInstance;
    BindState(instance);
    instance.remaining = ToInt64(EvaluateValue(sequence.duration, &instance));
    return &instance;
}

void DestroySequenceInstance(CSequence& sequence, int64_t id) {
    auto found = sequence.instances.find(id);
    if (found == sequence.instances.end()) return;
    SEQUENCE_INSTANCE_DATA& instance = found->second;
    if (instance.childInstanceId != 0 && instance.childBox != nullptr) {
        CBox* child = instance.childBox;
        const int64_t childId = instance.childInstanceId;
        instance.childInstanceId = 0;
        instance.childBox = nullptr;
        instance.childInstance = nullptr;
        DestroyBoxInstance(*child, childId);
    }
    sequence.instances.erase(found);
}

}  // namespace

BOX_INSTANCE_DATA* CreateBoxInstance(CBox& box, CVoice& voice, SEQUENCE_INSTANCE_DATA* parent) {
    const int64_t id = DrawInstanceId();
    auto [entry, inserted] = box.instances.try_emplace(id, voice.GetEngine(), &box, &voice, id, &voice.GetEngine()->instancePool);
    BOX_INSTANCE_DATA& instance = entry->second;
    BindState(instance);
    instance.sequenceInstances.reserve(box.sequences.size());
    for (const auto& sequence : box.sequences) {
        int64_t sequenceInstanceId = 0;
        SEQUENCE_INSTANCE_DATA* state = CreateSequenceInstance(*sequence, box, voice, instance, parent, sequenceInstanceId);
        instance.sequenceInstances.push_back({sequence->serial, sequenceInstanceId, state});
    }
    return &instance;
}

void DestroyBoxInstance(CBox& box, int64_t instanceId) {
    auto found = box.instances.find(instanceId);
    if (found != box.instances.end()) {
        for (const SEQUENCE_INSTANCE_REF& reference : found->second.sequenceInstances) {
            DestroySequenceInstance(*reference.state->sequence, reference.id);
        }
        box.instances.erase(found);
    }
    if (box.instances.empty()) box.engine->ReplacePendingBox(&box);
}

namespace {

size_t BucketOf(int64_t voiceId) { return static_cast<size_t>(static_cast<uint64_t>(voiceId) % kVoiceBuckets); }

CVoice* NewVoice(CEngine& engine, CBox* box, int64_t voiceId) {
    void* block = engine.instancePool.allocate(sizeof(CVoice), alignof(CVoice));
    CVoice* voice = new (block) CVoice(&engine, box, voiceId);
    CVoice*& head = engine.voiceBuckets[BucketOf(voiceId)];
    voice->nextInBucket = head;
    head = voice;
    return voice;
}

// The value a start argument pushes, read at the moment the start is applied.
bool ArgumentValue(CEngine& engine, const START_ARGUMENT& argument, float& value) {
    switch (argument.kind) {
        case SA_NUMBER:
            value = argument.value;
            return true;
        case SA_NOTE:
            value = static_cast<float>(PeriodOfFrequency(NoteFrequency(ToInt32(argument.value)), engine.sampleRate));
            return true;
        case SA_VARIABLE: {
            int16_t slot = engine.globalSlotOfLetter[argument.letter];
            if (slot < 0) {
                // A global no script has declared: the start declares it, as reading it in an
                // expression would, and it reads 0.0. Declaring allocates, once per letter.
                if (DeclareVariable(engine, argument.letter) == nullptr) {
                    ParseContext context;
                    ReportError(context, "Too many variables in one scope (at most %d)\n", kMaxVariableSlots);
                    return false;
                }
                BindState(engine);
                engine.PublishGlobals();
                slot = engine.globalSlotOfLetter[argument.letter];
            }
            value = ReadSlotAt(engine, slot);
            return true;
        }
        default:
            return false;
    }
}

}  // namespace

namespace {

// Makes and frees one of each record a box's instance takes, so that the pool learns their sizes.
void TrySizesOf(CEngine& engine, CBox& box) {
    std::pmr::map<int64_t, BOX_INSTANCE_DATA> boxRecords(&engine.instancePool);
    std::pmr::map<int64_t, SEQUENCE_INSTANCE_DATA> sequenceRecords(&engine.instancePool);
    BOX_INSTANCE_DATA& instance =
        boxRecords.try_emplace(0, &engine, &box, nullptr, 0, &engine.instancePool).first->second;
    instance.sequenceInstances.reserve(box.sequences.size());
    int64_t key = 0;
    for (const auto& sequence : box.sequences) {
        sequenceRecords.try_emplace(key++, &engine, sequence.get(), &box, nullptr, 0, nullptr, &engine.instancePool);
    }
}

}  // namespace

void PrepareRecordsForBoxes(CEngine& engine) {
    CRecordPool& pool = engine.instancePool;
    if (pool.BlocksMade() == 0) {
        // Voices: the record, its slots and its argument stack.
        CVoice scratch(&engine, nullptr, 0);
        pool.deallocate(pool.allocate(sizeof(CVoice), alignof(CVoice)), sizeof(CVoice), alignof(CVoice));
        pool.deallocate(pool.allocate(kStackBytes, alignof(float)), kStackBytes, alignof(float));
    }
    auto prepare = [&engine](CBox* box) {
        if (box == nullptr || box->primed) return;
        box->primed = true;
        TrySizesOf(engine, *box);
    };
    for (auto& [name, box] : engine.boxes) {
        prepare(box);
        prepare(box->pending);
    }
    for (CBox* box : engine.anonymousBoxes) prepare(box);
    pool.Reserve(kReservedRecords);
}

CVoice* FindVoice(const CEngine& engine, int64_t voiceId) {
    for (CVoice* voice = engine.voiceBuckets[BucketOf(voiceId)]; voice != nullptr; voice = voice->nextInBucket) {
        if (voice->voiceId == voiceId) return voice;
    }
    return nullptr;
}

void DropVoice(CEngine& engine, CVoice* voice) {
    StopVoice(*voice);
    CVoice** link = &engine.voiceBuckets[BucketOf(voice->voiceId)];
    while (*link != nullptr && *link != voice) link = &(*link)->nextInBucket;
    if (*link == voice) *link = voice->nextInBucket;
    voice->~CVoice();
    engine.instancePool.deallocate(voice, sizeof(CVoice), alignof(CVoice));
}

CVoice* StartVoiceFromRequest(CEngine& engine, const START_REQUEST& request, int64_t voiceId, int32_t note,
                              float velocity) {
    const std::string_view name(request.boxName);
    CBox* box = engine.boxIndex.Find(request.nameHash, name);
    if (box == nullptr) return nullptr;
    EnforceMaxInstances(engine, *box);
    // Stopping old voices may have let a waiting redefinition take the name: look again.
    box = engine.boxIndex.Find(request.nameHash, name);
    if (box == nullptr) return nullptr;

    CVoice* voice = NewVoice(engine, box, voiceId);
    BindState(*voice);
    WriteSlotAt(*voice, engine.voiceNoteSlot, static_cast<float>(note));
    WriteSlotAt(*voice, engine.voiceVelocitySlot, velocity);
    for (int32_t index = 0; index < request.argumentCount; ++index) {
        float value = 0.0f;
        if (ArgumentValue(engine, request.arguments[index], value)) PushArgument(*voice, value);
    }

    BOX_INSTANCE_DATA* root = CreateBoxInstance(*box, *voice, nullptr);
    voice->rootInstance = root;
    voice->rootInstanceId = root->instanceId;
    voice->steadyRoot = SteadyRootOf(*box, *root);
    engine.voices.push_back(voice);
    return voice;
}

CVoice* StartVoiceFromText(CEngine& engine, const char* text, int64_t voiceId, int32_t note, float velocity,
                           bool quiet) {
    return StartVoiceFromRequest(engine, ParseStartText(text, quiet), voiceId, note, velocity);
}

void StopVoice(CVoice& voice) {
    if (voice.stopped) return;
    voice.stopped = true;
    if (voice.rootInstance != nullptr) {
        voice.rootInstance = nullptr;
        DestroyBoxInstance(*voice.rootBox, voice.rootInstanceId);
    }
}

void ReleaseVoiceById(CEngine& engine, int64_t voiceId) {
    if (CVoice* voice = FindVoice(engine, voiceId)) voice->released = 1;
}

void StopVoiceById(CEngine& engine, int64_t voiceId) {
    if (CVoice* voice = FindVoice(engine, voiceId)) StopVoice(*voice);
}

void StopEveryVoice(CEngine& engine) {
    // Every voice is stopped before any is freed: stopping one destroys instances and may swap in
    // a waiting redefinition, which must not meet a half-freed list.
    for (CVoice* voice : engine.voices) StopVoice(*voice);
    for (CVoice* voice : engine.voices) DropVoice(engine, voice);
    engine.voices.clear();
    engine.activeVoices.store(0, std::memory_order_relaxed);
}

}  // namespace morvanel
