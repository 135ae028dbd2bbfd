// Reading Standard MIDI Files with libsmf in a child process and timing their notes.
#include "midi_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <smf.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "session.h"

namespace morvanel::tool {

namespace {

constexpr size_t kMaxMidiBytes = 8u << 20;
// libsmf trusts the lengths written in the file and reads past a truncated chunk before it
// notices; zeros behind the file's bytes end most such reads on harmless data.
constexpr size_t kPadding = 1u << 16;
constexpr unsigned kParseSeconds = 20;
constexpr size_t kMaxRecordBytes = 256u << 20;

// What the child process hands back, one fixed-size record per fact.
enum RecordKind : uint8_t { kHeader = 1, kNote, kTempo, kEnd, kComplaint };

struct RECORD {
    uint8_t kind = 0;
    uint8_t status = 0;
    uint8_t data1 = 0;
    uint8_t data2 = 0;
    int32_t pulses = 0;
    int64_t value = 0;  // header: format * 65536 + tracks; tempo: microseconds per quarter note;
                        // complaint: the length of the text that follows
};

bool WriteAll(int fd, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t count = write(fd, bytes, size);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        bytes += count;
        size -= static_cast<size_t>(count);
    }
    return true;
}

int gComplaintOut = -1;
bool gComplained = false;

// Sends libsmf's first complaint at once: the parse may still end in one of its assertions.
void SendComplaint(const gchar*, GLogLevelFlags level, const gchar* message, gpointer) {
    if ((level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING)) == 0 || message == nullptr) return;
    // Chunks of other kinds than tracks are allowed in a MIDI file, and skipping them is right.
    if (std::strstr(message, "ignoring this chunk") != nullptr || gComplained) return;
    gComplained = true;
    RECORD record;
    record.kind = kComplaint;
    record.value = static_cast<int64_t>(std::strlen(message));
    if (WriteAll(gComplaintOut, &record, sizeof record)) WriteAll(gComplaintOut, message, std::strlen(message));
}

// The child's whole life: parse, report each event, exit. Never returns.
[[noreturn]] void ParseInChild(const std::string& bytes, int out) {
    alarm(kParseSeconds);
    // libsmf's assertions print to standard error; the parent says what went wrong instead.
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDERR_FILENO);
    gComplaintOut = out;
    g_log_set_default_handler(SendComplaint, nullptr);
    g_log_set_handler("libsmf", static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION),
                      SendComplaint, nullptr);
    bool written = true;
    auto send = [&](const RECORD& record) { written = written && WriteAll(out, &record, sizeof record); };
    smf_t* smf = smf_load_from_memory(bytes.data(), static_cast<int>(bytes.size() - kPadding));
    if (smf == nullptr) {
        if (!gComplained) SendComplaint(nullptr, G_LOG_LEVEL_WARNING, "not a Standard MIDI File", nullptr);
        _exit(written ? 0 : 3);
    }
    // Loading from memory leaves the tracks' read positions unset: without a rewind, the tracks
    // are not merged in time order.
    smf_rewind(smf);
    RECORD header;
    header.kind = kHeader;
    header.pulses = smf->ppqn;
    header.value = static_cast<int64_t>(smf->format) * 65536 + smf->number_of_tracks;
    send(header);
    int32_t last = 0;
    for (smf_event_t* event = smf_get_next_event(smf); event != nullptr && written; event = smf_get_next_event(smf)) {
        const unsigned char* data = event->midi_buffer;
        const int length = event->midi_buffer_length;
        last = std::max(last, static_cast<int32_t>(event->time_pulses));
        if (data == nullptr || length < 1) continue;
        RECORD record;
        record.pulses = event->time_pulses;
        if (data[0] == 0xFF && length >= 6 && data[1] == 0x51 && data[2] == 3) {
            record.kind = kTempo;
            record.value = (int64_t{data[3]} << 16) | (int64_t{data[4]} << 8) | data[5];
            send(record);
        } else if ((data[0] & 0xE0) == 0x80 && length >= 3) {
            record.kind = kNote;
            record.status = data[0];
            record.data1 = data[1];
            record.data2 = data[2];
            send(record);
        }
    }
    RECORD end;
    end.kind = kEnd;
    end.pulses = last;
    send(end);
    _exit(written ? 0 : 3);
}

// Rounds value * rate / divisor half up without overflow for the values a day-long song gives.
int64_t ScaledRounded(int64_t value, int64_t rate, int64_t divisor) {
    const int64_t whole = value / divisor;
    const int64_t rest = value % divisor;
    return whole * rate + (2 * rest * rate + divisor) / (2 * divisor);
}

}  // namespace

bool LoadMidiSong(const std::string& path, int sampleRate, int channel, double longestSeconds, MIDI_SONG& song,
                  std::string& error) {
    std::string bytes;
    if (!ReadWholeFile(path, kMaxMidiBytes, "larger than 8 MiB, more than a song's notes need", bytes, error)) {
        return false;
    }
    bytes.append(kPadding, '\0');

    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        error = std::string("cannot start its reader: ") + std::strerror(errno);
        return false;
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        error = std::string("cannot start its reader: ") + std::strerror(errno);
        close(ends[0]);
        close(ends[1]);
        return false;
    }
    if (child == 0) {
        close(ends[0]);
        ParseInChild(bytes, ends[1]);
    }
    close(ends[1]);
    std::string records;
    char chunk[65536];
    for (;;) {
        const ssize_t count = read(ends[0], chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        if (records.size() + static_cast<size_t>(count) > kMaxRecordBytes) {
            kill(child, SIGKILL);
            break;
        }
        records.append(chunk, static_cast<size_t>(count));
    }
    close(ends[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // The parse's own complaint says best what is wrong, even when the reader then fell over.
    auto failure = [&] {
        if (records.size() > kMaxRecordBytes) return std::string("it holds more events than morvanel takes");
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
            return "reading it took longer than " + std::to_string(kParseSeconds) + " s";
        }
        if (WIFSIGNALED(status)) {
            return "damaged MIDI file (libsmf stopped on it with signal " + std::to_string(WTERMSIG(status)) + ")";
        }
        return std::string("damaged MIDI file (its reader stopped early)");
    };

    song = MIDI_SONG{};
    int ppqn = 0;
    bool ended = false;
    int64_t heldNotes[16][128] = {};
    // The time in microsecond-pulses (pulses times microseconds per quarter note) up to `lastPulse`.
    int64_t elapsed = 0;
    int64_t lastPulse = 0;
    int64_t tempo = 500000;  // 120 beats per minute until the file says otherwise
    const int64_t longest = static_cast<int64_t>(std::floor(longestSeconds * 1e6));
    auto advance = [&](int64_t pulse) {
        if (pulse < lastPulse) {
            error = "damaged MIDI file (its events go back in time)";
            return false;
        }
        elapsed += (pulse - lastPulse) * tempo;
        lastPulse = pulse;
        if (elapsed / ppqn > longest) {
            error = "the song lasts longer than " + std::to_string(static_cast<int64_t>(longestSeconds)) + " s";
            return false;
        }
        return true;
    };
    auto sampleNow = [&] { return ScaledRounded(elapsed, sampleRate, int64_t{ppqn} * 1000000); };
    // A complaint (there is at most one, and its text follows it) outweighs what the events say.
    for (size_t at = 0; at + sizeof(RECORD) <= records.size(); at += sizeof(RECORD)) {
        RECORD record;
        std::memcpy(&record, records.data() + at, sizeof record);
        if (record.kind != kComplaint) continue;
        const size_t length = static_cast<size_t>(std::clamp<int64_t>(record.value, 0, 4096));
        error = "damaged MIDI file: " + records.substr(at + sizeof record, length);
        return false;
    }
    size_t at = 0;
    while (at + sizeof(RECORD) <= records.size()) {
        RECORD record;
        std::memcpy(&record, records.data() + at, sizeof record);
        at += sizeof record;
        if (record.kind == kHeader) {
            ppqn = record.pulses;
            song.format = static_cast<int>(record.value / 65536);
            song.tracks = static_cast<int>(record.value % 65536);
            if (ppqn <= 0) {
                error = "damaged MIDI file (no pulses per quarter note)";
                return false;
            }
            continue;
        }
        if (ppqn <= 0) {
            error = "damaged MIDI file (no header)";
            return false;
        }
        if (ended) continue;
        if (!advance(record.pulses)) return false;
        if (record.kind == kTempo) {
            if (record.value <= 0) {
                error = "damaged MIDI file (a tempo of 0 microseconds per beat)";
                return false;
            }
            tempo = record.value;
        } else if (record.kind == kNote) {
            const int eventChannel = record.status & 0x0F;
            if (channel != 0 && eventChannel != channel - 1) continue;
            MIDI_NOTE note;
            note.at = sampleNow();
            note.key = record.data1 & 0x7F;
            note.velocity = record.data2 & 0x7F;
            note.on = (record.status & 0xF0) == 0x90 && note.velocity > 0;
            int64_t& held = heldNotes[eventChannel][note.key];
            if (note.on) {
                ++held;
            } else {
                note.velocity = 0;
                held = 0;
            }
            song.notes.push_back(note);
        } else if (record.kind == kEnd) {
            song.end = sampleNow();
            ended = true;
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !ended) {
        error = failure();
        return false;
    }
    for (int eventChannel = 0; eventChannel < 16; ++eventChannel) {
        for (int key = 0; key < 128; ++key) {
            if (heldNotes[eventChannel][key] == 0) continue;
            song.unreleased += heldNotes[eventChannel][key];
            song.notes.push_back(MIDI_NOTE{song.end, key, 0, false});
        }
    }
    return true;
}

std::string MidiKeyName(int key) {
    static const char* const kNames[] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
    return kNames[key % 12] + std::to_string(key / 12 - 1);
}

}  // namespace morvanel::tool
