// Posting and taking on the command and response rings.
#include "engine/rings.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "compile/start_text.h"
#include "program/param_value.h"

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

bool IsStart(int32_t kind) { return kind == CMD_START_VOICE || kind == CMD_START_KEY || kind == CMD_SPAWN; }

bool FitsNameField(const char* text) {
    return text == nullptr || std::strlen(text) < static_cast<size_t>(kCommandNameCapacity);
}

// Fills the common fields and publishes the slot; the serial.
int64_t Publish(Command& slot, int32_t kind, int64_t voiceId) {
    slot.voiceId = voiceId;
    const int64_t serial = commandSerial.fetch_add(1);
    slot.serial = serial;
    slot.kind = kind;
    slot.pending.store(true, std::memory_order_release);
    return serial;
}

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

}  // namespace

CommandQueue::~CommandQueue() {
    for (Command& slot : slots) {
        delete[] slot.text;
        slot.text = nullptr;
    }
}

Command* CommandQueue::Reserve() {
    int32_t reserved = count.load();
    do {
        if (reserved >= kCommandSlots) return nullptr;
    } while (!count.compare_exchange_weak(reserved, reserved + 1));

    int32_t position = write.load();
    int32_t next;
    do {
        next = position + 1 >= kCommandSlots ? 0 : position + 1;
    } while (!write.compare_exchange_weak(position, next));
    return &slots[position];
}

int64_t CommandQueue::Post(int32_t kind, const char* text, int64_t voiceId, int32_t note, float velocity) {
    if (IsStart(kind)) {
        if (!FitsNameField(text)) return 0;
        // Read before reserving: a full ring then costs the read, but a slot is never held while
        // the text is read.
        const START_REQUEST start = ParseStartText(text, kind == CMD_SPAWN);
        return PostStart(kind, text, start, note, velocity);
    }
    const bool usesName = kind != CMD_PARSE && kind != CMD_RELEASE_VOICE && kind != CMD_RELEASE_KEY && kind != CMD_STOP_VOICE;
    if (usesName && !FitsNameField(text)) return 0;
    Command* slot = Reserve();
    if (slot == nullptr) return 0;
    if (kind == CMD_PARSE) {
        slot->text = PARAM_VALUE::CopyText(text);
    } else if (usesName) {
        std::snprintf(slot->name, sizeof slot->name, "%s", text != nullptr ? text : "");
        slot->note = note;
        slot->velocity = velocity;
    } else if (kind == CMD_RELEASE_KEY) {
        slot->note = note;
    }
    return Publish(*slot, kind, voiceId);
}

int64_t CommandQueue::PostStart(int32_t kind, const char* text, const START_REQUEST& start, int32_t note,
                                float velocity) {
    if (!FitsNameField(text)) return 0;
    Command* slot = Reserve();
    if (slot == nullptr) return 0;
    const size_t length = text != nullptr ? std::strlen(text) : 0;
    if (length > 0) std::memcpy(slot->name, text, length);
    slot->name[length] = '\0';
    slot->start = start;
    slot->note = note;
    slot->velocity = velocity;
    return Publish(*slot, kind, 0);
}

bool CommandQueue::Take(TakenCommand& out) {
    if (count.load() <= 0) return false;
    Command& slot = slots[read.load()];
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
    AdvanceIndex(read, kCommandSlots);
    count.fetch_sub(1);
    return true;
}

void CommandQueue::Discard() {
    TakenCommand dropped;
    while (Take(dropped)) {
    }
}

// The calling thread's copy of the last response taken (each control thread keeps its own).
struct ResponseQueue::ResponseHolder {
    int32_t type = 0;
    std::string text;
    int32_t value = 0;
    int64_t id = 0;
};

ResponseQueue::~ResponseQueue() {
    for (Response& slot : slots) {
        delete[] slot.text;
        slot.text = nullptr;
    }
}

void ResponseQueue::Post(int32_t type, const char* text, int32_t value, int64_t id) {
    if (count.load() >= kResponseSlots) return;
    Response& slot = slots[write.load()];
    slot.type = type;
    slot.value = value;
    slot.id = id;
    slot.number = posted.fetch_add(1);
    slot.text = PARAM_VALUE::CopyText(text != nullptr ? text : "");
    AdvanceIndex(write, kResponseSlots);
    count.fetch_add(1);
}

bool ResponseQueue::TakeOne(ResponseHolder* holder) {
    if (count.load() <= 0) return false;
    Response& slot = slots[read.load()];
    if (holder != nullptr) {
        holder->type = slot.type;
        holder->text = slot.text != nullptr ? slot.text : "";
        holder->value = slot.value;
        holder->id = slot.id;
    }
    delete[] slot.text;
    slot = Response{};
    AdvanceIndex(read, kResponseSlots);
    count.fetch_sub(1);
    return true;
}

const char* ResponseQueue::TakeText(int64_t responseId) {
    static thread_local ResponseHolder holder;
    std::lock_guard<std::mutex> guard(takers);
    for (;;) {
        if (count.load() <= 0) return "";
        // Responses from before a reset that could not drop them itself are dropped here.
        const bool stale = slots[read.load()].number < firstKept.load();
        TakeOne(stale ? nullptr : &holder);
        if (!stale && holder.id == responseId) return holder.text.c_str();
    }
}

void ResponseQueue::Discard() {
    std::unique_lock<std::mutex> guard(takers, std::try_to_lock);
    if (!guard.owns_lock()) {
        firstKept.store(posted.load());
        return;
    }
    while (TakeOne(nullptr)) {
    }
}

}  // namespace morvanel
