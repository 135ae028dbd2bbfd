// The computer keyboard as a piano in the terminal, in the layout trackers use: the bottom letter
// row (Z S X D C V G B H N J M , L . ; /) is one octave with its black keys on the row above, the
// top row (Q 2 W 3 E R 5 T 6 Y 7 U I 9 O 0 P [ = ]) the octave above it. Keys go to MidiNoteOn and
// MidiNoteOff, so the script's midikey maps choose the boxes.
#pragma once

#include <termios.h>

#include <chrono>
#include <string>

namespace morvanel::tool {

class CKeyPiano {
public:
    CKeyPiano() = default;
    ~CKeyPiano();
    CKeyPiano(const CKeyPiano&) = delete;
    CKeyPiano& operator=(const CKeyPiano&) = delete;

    // Puts the terminal on standard input into character mode (no echo; Ctrl-C still stops).
    // False when standard input is not a terminal.
    bool Start(int instance, std::string& error);
    int Descriptor() const;
    // Reads what was typed and plays it.
    void OnInput();
    // A terminal says when a key goes down and repeats it while held, but never says when it comes
    // up: a key is released once its repeats stop. Call at least every 20 ms.
    void Tick();
    // Releases every key and gives the terminal back as it was.
    void Stop();
    // "C3" and the like: the bottom row's first key, for the status line.
    std::string Octave() const;

private:
    using Clock = std::chrono::steady_clock;
    void Press(int key);
    void Release(int key);

    int instance = -1;
    bool started = false;
    termios saved{};
    int lowest = 48;  // C3
    std::string escape;  // an arrow key's sequence as it arrives
    struct HELD {
        bool down = false;
        bool repeating = false;
        Clock::time_point last;
    } held[128];
};

}  // namespace morvanel::tool
