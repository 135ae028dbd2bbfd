// The two fixed rings of an engine: the CommandQueue carries commands from hosts (and the engine's
// own run and spawn) to the tick; the ResponseQueue carries texts from the tick back to hosts.
// Neither ever grows: a full ring drops what is posted.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "program/start_request.h"

namespace morvanel {

enum CommandKind : int32_t {
    CMD_START_VOICE = 1,
    CMD_RELEASE_VOICE = 2,
    CMD_STOP_VOICE = 3,
    CMD_STOP_ALL = 5,
    CMD_SPAWN = 7,
    CMD_PARSE = 8,
    CMD_RESET = 10,
    CMD_START_KEY = 11,    // a start by a MIDI note-on: the voice remembers its key
    CMD_RELEASE_KEY = 12,  // releases every voice a key started
};

enum ResponseType : int32_t {
    RESP_MIDIKEY = 1,
    RESP_BOX_REPORT = 4,
    RESP_PARSE_LOG = 5,
};

constexpr int kCommandSlots = 64;
constexpr int kResponseSlots = 192;
constexpr int kCommandNameCapacity = 32;  // 31 characters and the terminating NUL

struct Command {
    char name[kCommandNameCapacity];  // the start text as posted
    START_REQUEST start;              // the start text as read by the poster
    char* text;                       // owned script copy of CMD_PARSE, else null
    int64_t voiceId;
    std::atomic<bool> pending;  // set last by the producer: publishes the filled slot
    int32_t kind;
    int64_t serial;
    int32_t note;
    float velocity;
};

// What the consumer takes out of a command slot; owns the script text.
struct TakenCommand {
    char name[kCommandNameCapacity];
    START_REQUEST start;
    std::unique_ptr<char[]> text;
    int64_t voiceId;
    int32_t kind;
    int64_t serial;
    int32_t note;
    float velocity;
};

struct Response {
    int32_t type;
    char* text;  // owned
    int32_t value;
    int64_t id;
    int64_t number;  // how many responses the ring had taken in before this one
};

extern std::atomic<int64_t> commandSerial;

// Many producers (any thread), one consumer (the audio thread). Producers reserve a slot with
// atomic operations and publish it with its pending flag, so the engine's own posts (run, spawn)
// and a host's never interleave badly.
class CommandQueue {
public:
    CommandQueue() = default;
    ~CommandQueue();
    CommandQueue(const CommandQueue&) = delete;
    CommandQueue& operator=(const CommandQueue&) = delete;

    // Any thread. Posts one command; `text` is the start text (CMD_START_VOICE, CMD_SPAWN) or the
    // script (CMD_PARSE); `velocity` is already scaled to 0..1. Returns the serial, or 0 when the
    // ring is full or a start text does not fit the name field (it is never truncated). A start
    // text is read here, on the posting thread (allocating, and printing its header's diagnostics
    // unless the kind is CMD_SPAWN), so that the audio thread only copies the request.
    int64_t Post(int32_t kind, const char* text, int64_t voiceId, int32_t note, float velocity);
    // Any thread, the audio thread included: posts a start whose text was read beforehand. Never
    // allocates, locks or prints.
    int64_t PostStart(int32_t kind, const char* text, const START_REQUEST& start, int32_t note, float velocity);
    // Audio thread. Takes the oldest published command; false when there is none.
    bool Take(TakenCommand& out);
    // Audio thread (reset). Drops every waiting command.
    void Discard();

    Command slots[kCommandSlots] = {};
    alignas(64) std::atomic<int32_t> write{0};
    alignas(64) std::atomic<int32_t> read{0};
    alignas(64) std::atomic<int32_t> count{0};

private:
    Command* Reserve();
};

// One producer (the audio thread), consumers on control threads, serialised by a lock that the
// audio thread never waits for.
class ResponseQueue {
public:
    ResponseQueue() = default;
    ~ResponseQueue();
    ResponseQueue(const ResponseQueue&) = delete;
    ResponseQueue& operator=(const ResponseQueue&) = delete;

    // Audio thread. Posts a response (text copied, "" for null); dropped when the ring is full.
    void Post(int32_t type, const char* text, int32_t value, int64_t id);
    // Control thread. Takes responses until one with `responseId` arrives and returns its text
    // from the calling thread's holder; "" when the ring empties first.
    const char* TakeText(int64_t responseId);
    // Audio thread (reset). Drops every waiting response. Never waits: when a reader is taking
    // responses at that moment, the responses posted so far are left for readers to drop.
    void Discard();
    bool Full() const { return count.load() >= kResponseSlots; }

    Response slots[kResponseSlots] = {};
    alignas(64) std::atomic<int32_t> write{0};
    alignas(64) std::atomic<int32_t> read{0};
    alignas(64) std::atomic<int32_t> count{0};
    std::mutex takers;  // serialises the control threads that take; the audio thread only tries it

private:
    struct ResponseHolder;
    bool TakeOne(ResponseHolder* holder);

    std::atomic<int64_t> posted{0};     // responses posted so far
    std::atomic<int64_t> firstKept{0};  // earlier ones are left over from a reset
};

}  // namespace morvanel
