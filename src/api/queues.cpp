// Posting and taking on the command and response rings.
#include "api/queues.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "compile/param_value.h"
#include "engine/engine.h"

namespace morvanel {

std::atomic<int64_t> commandSerial{16384};

namespace {

// Advances a ring index by one, wrapping to 0 at `size`.
void AdvanceIndex(std::atomic<int32_t>& index, int32_t size) {
    int32_t current = index.load();
    int32_t next;
    do {
        next = current + 1 >= size ? 0 : current + 1;
    } while (!index.compare_exchange_weak(current, next));
}

// The calling thread's copy of the last response taken (each control thread keeps its own).
struct ResponseHolder {
    int32_t type = 0;
    std::string text;
    int32_t value = 0;
    int64_t id = 0;
};

thread_local ResponseHolder responseHolder;

void ClearCommandSlot(Command& slot) {
    delete[] slot.text;
    slot.text = nullptr;
    slot.serial = 0;
    slot.name[0] = '\0';
    slot.voiceId = 0;
    slot.kind = 0;
    slot.note = 0;
    slot.velocity = 0.0f;
}

bool TakeOneResponse(CEngine& engine, ResponseHolder* holder) {
    if (engine.responseCount.load() <= 0) return false;
    Response& slot = engine.responses[engine.responseRead.load()];
    if (holder != nullptr) {
        holder->type = slot.type;
        holder->text = slot.text != nullptr ? slot.text : "";
        holder->value = slot.value;
        holder->id = slot.id;
    }
    delete[] slot.text;
    slot = Response{};
    AdvanceIndex(engine.responseRead, kResponseSlots);
    engine.responseCount.fetch_sub(1);
    return true;
}

}  // namespace

int64_t PostCommand(CEngine& engine, int32_t kind, const char* text, int64_t voiceId, int32_t note,
                    float velocity) {
    const bool usesName = kind != CMD_PARSE && kind != CMD_RELEASE_VOICE && kind != CMD_STOP_VOICE;
    if (usesName && text != nullptr && std::strlen(text) >= kCommandNameCapacity) return 0;

    int32_t count = engine.commandCount.load();
    do {
        if (count >= kCommandSlots) return 0;
    } while (!engine.commandCount.compare_exchange_weak(count, count + 1));

    int32_t write = engine.commandWrite.load();
    int32_t next;
    do {
        next = write + 1 >= kCommandSlots ? 0 : write + 1;
    } while (!engine.commandWrite.compare_exchange_weak(write, next));

    Command& slot = engine.commands[write];
    if (kind == CMD_PARSE) {
        slot.text = PARAM_VALUE::CopyText(text);
    } else if (usesName) {
        std::snprintf(slot.name, sizeof slot.name, "%s", text != nullptr ? text : "");
        slot.note = note;
        slot.velocity = velocity;
    }
    slot.voiceId = voiceId;
    const int64_t serial = commandSerial.fetch_add(1);
    slot.serial = serial;
    slot.kind = kind;
    slot.pending.store(true, std::memory_order_release);
    return serial;
}

bool TakeCommand(CEngine& engine, TakenCommand& out) {
    if (engine.commandCount.load() <= 0) return false;
    Command& slot = engine.commands[engine.commandRead.load()];
    // A producer may have reserved this slot and not filled it yet: it is taken next time.
    if (!slot.pending.load(std::memory_order_acquire)) return false;
    std::memcpy(out.name, slot.name, sizeof out.name);
    out.name[kCommandNameCapacity - 1] = '\0';
    out.text.reset(slot.text);
    slot.text = nullptr;
    out.voiceId = slot.voiceId;
    out.kind = slot.kind;
    out.serial = slot.serial;
    out.note = slot.note;
    out.velocity = slot.velocity;
    ClearCommandSlot(slot);
    slot.pending.store(false, std::memory_order_release);
    AdvanceIndex(engine.commandRead, kCommandSlots);
    engine.commandCount.fetch_sub(1);
    return true;
}

void PostResponse(CEngine& engine, int32_t type, const char* text, int32_t value, int64_t id) {
    if (engine.responseCount.load() >= kResponseSlots) return;
    Response& slot = engine.responses[engine.responseWrite.load()];
    slot.type = type;
    slot.value = value;
    slot.id = id;
    slot.text = PARAM_VALUE::CopyText(text != nullptr ? text : "");
    AdvanceIndex(engine.responseWrite, kResponseSlots);
    engine.responseCount.fetch_add(1);
}

const char* TakeResponseText(CEngine& engine, int64_t responseId) {
    std::lock_guard<std::mutex> guard(engine.responseTakeLock);
    ResponseHolder& holder = responseHolder;
    while (TakeOneResponse(engine, &holder)) {
        if (holder.id == responseId) return holder.text.c_str();
    }
    return "";
}

void DiscardQueues(CEngine& engine) {
    TakenCommand dropped;
    while (TakeCommand(engine, dropped)) {
    }
    std::lock_guard<std::mutex> guard(engine.responseTakeLock);
    while (TakeOneResponse(engine, nullptr)) {
    }
}

void FreeQueueTexts(CEngine& engine) {
    for (Command& slot : engine.commands) {
        delete[] slot.text;
        slot.text = nullptr;
    }
    for (Response& slot : engine.responses) {
        delete[] slot.text;
        slot.text = nullptr;
    }
}

}  // namespace morvanel
