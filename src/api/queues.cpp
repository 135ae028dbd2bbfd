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
    slot.start = START_REQUEST{};
    slot.voiceId = 0;
    slot.kind = 0;
    slot.note = 0;
    slot.velocity = 0.0f;
}

// Takes the oldest response into `holder` (dropped when null); responses from before a reset
// that could not drop them itself are dropped here and not counted as taken.
bool TakeOneResponse(CEngine& engine, ResponseHolder* holder) {
    if (engine.responseCount.load() <= 0) return false;
    Response& slot = engine.responses[engine.responseRead.load()];
    if (slot.number < engine.firstResponseKept.load()) holder = nullptr;
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

namespace {

// Reserves the next slot, or null when the ring is full.
Command* ReserveCommandSlot(CEngine& engine) {
    int32_t count = engine.commandCount.load();
    do {
        if (count >= kCommandSlots) return nullptr;
    } while (!engine.commandCount.compare_exchange_weak(count, count + 1));

    int32_t write = engine.commandWrite.load();
    int32_t next;
    do {
        next = write + 1 >= kCommandSlots ? 0 : write + 1;
    } while (!engine.commandWrite.compare_exchange_weak(write, next));
    return &engine.commands[write];
}

// Fills the common fields and publishes the slot; the serial.
int64_t PublishCommand(Command& slot, int32_t kind, int64_t voiceId) {
    slot.voiceId = voiceId;
    const int64_t serial = commandSerial.fetch_add(1);
    slot.serial = serial;
    slot.kind = kind;
    slot.pending.store(true, std::memory_order_release);
    return serial;
}

bool IsStart(int32_t kind) { return kind == CMD_START_VOICE || kind == CMD_SPAWN; }

bool FitsNameField(const char* text) {
    return text == nullptr || std::strlen(text) < static_cast<size_t>(kCommandNameCapacity);
}

}  // namespace

int64_t PostCommand(CEngine& engine, int32_t kind, const char* text, int64_t voiceId, int32_t note,
                    float velocity) {
    if (IsStart(kind)) {
        if (!FitsNameField(text)) return 0;
        // Read before reserving: a full ring then costs the read, but a slot is never held while
        // the text is read.
        const START_REQUEST start = ParseStartText(text, kind == CMD_SPAWN);
        return PostStart(engine, kind, text, start, note, velocity);
    }
    const bool usesName = kind != CMD_PARSE && kind != CMD_RELEASE_VOICE && kind != CMD_STOP_VOICE;
    if (usesName && !FitsNameField(text)) return 0;
    Command* slot = ReserveCommandSlot(engine);
    if (slot == nullptr) return 0;
    if (kind == CMD_PARSE) {
        slot->text = PARAM_VALUE::CopyText(text);
    } else if (usesName) {
        std::snprintf(slot->name, sizeof slot->name, "%s", text != nullptr ? text : "");
        slot->note = note;
        slot->velocity = velocity;
    }
    return PublishCommand(*slot, kind, voiceId);
}

int64_t PostStart(CEngine& engine, int32_t kind, const char* text, const START_REQUEST& start, int32_t note,
                  float velocity) {
    if (!FitsNameField(text)) return 0;
    Command* slot = ReserveCommandSlot(engine);
    if (slot == nullptr) return 0;
    const size_t length = text != nullptr ? std::strlen(text) : 0;
    if (length > 0) std::memcpy(slot->name, text, length);
    slot->name[length] = '\0';
    slot->start = start;
    slot->note = note;
    slot->velocity = velocity;
    return PublishCommand(*slot, kind, 0);
}

bool TakeCommand(CEngine& engine, TakenCommand& out) {
    if (engine.commandCount.load() <= 0) return false;
    Command& slot = engine.commands[engine.commandRead.load()];
    // A producer may have reserved this slot and not filled it yet: it is taken next time.
    if (!slot.pending.load(std::memory_order_acquire)) return false;
    std::memcpy(out.name, slot.name, sizeof out.name);
    out.name[kCommandNameCapacity - 1] = '\0';
    out.start = slot.start;
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
    slot.number = engine.responsesPosted.fetch_add(1);
    slot.text = PARAM_VALUE::CopyText(text != nullptr ? text : "");
    AdvanceIndex(engine.responseWrite, kResponseSlots);
    engine.responseCount.fetch_add(1);
}

const char* TakeResponseText(CEngine& engine, int64_t responseId) {
    std::lock_guard<std::mutex> guard(engine.responseTakeLock);
    ResponseHolder& holder = responseHolder;
    for (;;) {
        if (engine.responseCount.load() <= 0) return "";
        const bool stale = engine.responses[engine.responseRead.load()].number < engine.firstResponseKept.load();
        TakeOneResponse(engine, &holder);
        if (!stale && holder.id == responseId) return holder.text.c_str();
    }
}

void DiscardQueues(CEngine& engine) {
    TakenCommand dropped;
    while (TakeCommand(engine, dropped)) {
    }
    std::unique_lock<std::mutex> guard(engine.responseTakeLock, std::try_to_lock);
    if (!guard.owns_lock()) {
        engine.firstResponseKept.store(engine.responsesPosted.load());
        return;
    }
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
