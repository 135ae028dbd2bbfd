// Reading the terminal's keys and turning them into notes.
#include "key_piano.h"

#include <unistd.h>

#include <cctype>
#include <cstring>

#include "midi_file.h"
#include "morvanel.h"

namespace morvanel::tool {

namespace {

constexpr char kBottomRow[] = "zsxdcvgbhnjm,l.;/";
constexpr char kTopRow[] = "q2w3er5t6y7ui9o0p[=]";
constexpr int kVelocity = 100;
// Terminals wait about half a second before a held key repeats, then repeat it every 30 to 50 ms.
constexpr auto kFirstRepeat = std::chrono::milliseconds(750);
constexpr auto kNextRepeat = std::chrono::milliseconds(150);
constexpr int kHighestLowest = 127 - 31;  // the top row's last key stays a MIDI key

// The key a character plays with the bottom row starting at `lowest`, or -1.
int KeyFor(char character, int lowest) {
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(character)));
    if (lower == '\0') return -1;
    if (const char* at = std::strchr(kBottomRow, lower)) return lowest + static_cast<int>(at - kBottomRow);
    if (const char* at = std::strchr(kTopRow, lower)) return lowest + 12 + static_cast<int>(at - kTopRow);
    return -1;
}

}  // namespace

CKeyPiano::~CKeyPiano() { Stop(); }

bool CKeyPiano::Start(int instanceId, std::string& error) {
    instance = instanceId;
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) {
        error = "--keys needs a terminal on standard input, to read the keys as they are pressed";
        return false;
    }
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
        error = "--keys cannot put the terminal into character mode";
        return false;
    }
    started = true;
    std::fprintf(stderr,
                 "keys: Z S X D C V G B H N J M , L . ; / from %s, Q 2 W 3 E R 5 T 6 Y 7 U I 9 O 0 P [ = ] an octave "
                 "up; arrows up and down change the octave, space releases every key, Ctrl-C stops\n",
                 Octave().c_str());
    return true;
}

int CKeyPiano::Descriptor() const { return started ? STDIN_FILENO : -1; }

std::string CKeyPiano::Octave() const { return MidiKeyName(lowest); }

void CKeyPiano::OnInput() {
    char typed[64];
    const ssize_t count = read(STDIN_FILENO, typed, sizeof typed);
    for (ssize_t i = 0; i < count; ++i) {
        const char character = typed[i];
        if (!escape.empty() || character == '\x1b') {
            escape += character;
            if (escape.size() == 2 && character != '[') escape.clear();
            if (escape.size() < 3) continue;
            if (escape == "\x1b[A") lowest = std::min(lowest + 12, kHighestLowest);
            if (escape == "\x1b[B") lowest = std::max(lowest - 12, 0);
            escape.clear();
            continue;
        }
        if (character == ' ') {
            for (int key = 0; key < 128; ++key) Release(key);
            continue;
        }
        const int key = KeyFor(character, lowest);
        if (key >= 0 && key < 128) Press(key);
    }
}

void CKeyPiano::Press(int key) {
    HELD& state = held[key];
    if (state.down) {
        state.repeating = true;
    } else {
        state.down = true;
        state.repeating = false;
        MidiNoteOn(key, kVelocity, instance);
    }
    state.last = Clock::now();
}

void CKeyPiano::Release(int key) {
    if (!held[key].down) return;
    held[key].down = false;
    MidiNoteOff(key, instance);
}

void CKeyPiano::Tick() {
    const auto now = Clock::now();
    for (int key = 0; key < 128; ++key) {
        const HELD& state = held[key];
        if (state.down && now - state.last > (state.repeating ? kNextRepeat : kFirstRepeat)) Release(key);
    }
}

void CKeyPiano::Stop() {
    if (!started) return;
    for (int key = 0; key < 128; ++key) Release(key);
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    started = false;
}

}  // namespace morvanel::tool
