// Voices and instance trees: starting a voice from a start text, creating and destroying box and
// sequence instances, one sample of a box instance, and the voice commands.
#include "runtime/voice.h"

#include <algorithm>
#include <cstdio>

#include "compile/expression.h"
#include "compile/model.h"
#include "engine/engine.h"
#include "runtime/generators.h"
#include "runtime/voice_major.h"
#include "script/box_header.h"
#include "script/constants.h"
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
        std::printf("Warning: Max stack depth reached\n");
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

CVoice* StartVoiceFromText(CEngine& engine, const char* text, int64_t voiceId, int32_t note, float velocity,
                           bool quiet) {
    const std::string startText = std::string(text != nullptr ? text : "") + " ";
    ParseContext context;
    context.quiet = quiet;
    BOX_HEADER header;
    ParseBoxHeader(engine, startText.c_str(), context, header);
    if (engine.FindBox(header.name) == nullptr) return nullptr;
    EnforceMaxInstances(engine, *engine.FindBox(header.name));
    // Stopping old voices may have let a waiting redefinition take the name: look again.
    CBox* box = engine.FindBox(header.name);
    if (box == nullptr) return nullptr;

    auto voice = std::make_unique<CVoice>(&engine, box, voiceId);
    BindState(*voice);
    const int noteSlot = FindOwnVariable(*engine.voiceDescription, 'n');
    const int velocitySlot = FindOwnVariable(*engine.voiceDescription, 'v');
    if (noteSlot >= 0) WriteSlotAt(*voice, noteSlot, static_cast<float>(note));
    if (velocitySlot >= 0) WriteSlotAt(*voice, velocitySlot, velocity);

    for (const std::string& parameter : header.parameters) {
        const std::string argument = parameter + " ";
        const int32_t first = PeekKind(argument.c_str(), LEX_EXPR);
        if (first != TK_NUMBER && first != TK_PERCENT && first != TK_NOTE && first != TK_HASH) continue;
        ParseContext argumentContext;
        argumentContext.quiet = quiet;
        EXPRESSION_NODE root;
        if (ParseExpression(engine, argument.c_str(), argumentContext, root) == nullptr) continue;
        // The argument may have declared a new engine variable: bind it before it is read.
        BindState(engine);
        std::unique_ptr<EXPRESSION> expression = CompileExpression(root);
        if (expression == nullptr) continue;
        PushArgument(*voice, EvaluateExpression(*expression, &engine));
    }

    CVoice* started = voice.get();
    BOX_INSTANCE_DATA* root = CreateBoxInstance(*box, *started, nullptr);
    started->rootInstance = root;
    started->rootInstanceId = root->instanceId;
    started->steadyRoot = SteadyRootOf(*box, *root);
    engine.voices.push_back(std::move(voice));
    return started;
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
    for (auto& voice : engine.voices) {
        if (voice->voiceId == voiceId) {
            voice->released = 1;
            return;
        }
    }
}

void StopVoiceById(CEngine& engine, int64_t voiceId) {
    for (auto& voice : engine.voices) {
        if (voice->voiceId == voiceId) {
            StopVoice(*voice);
            return;
        }
    }
}

void StopEveryVoice(CEngine& engine) {
    // Taken out of the list first: destroying instances must not see a half-emptied list.
    std::vector<std::unique_ptr<CVoice>> voices;
    voices.swap(engine.voices);
    for (auto& voice : voices) StopVoice(*voice);
    voices.clear();
    engine.activeVoices.store(0, std::memory_order_relaxed);
}

}  // namespace morvanel
