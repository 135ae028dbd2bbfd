// MIDI input through RtMidi from the ALSA sequencer or JACK: note-ons and note-offs from a port go
// to MidiNoteOn and MidiNoteOff of an instance, so the script's midikey maps choose the boxes.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class RtMidiIn;

namespace morvanel::tool {

struct MIDI_PORT {
    std::string system;  // "ALSA" or "JACK"
    std::string name;
};

// Every MIDI input port the sound systems offer, in the order --list-midi numbers them (from 0);
// `problems` says why a system offers none ("JACK: no server is running").
std::vector<MIDI_PORT> ListMidiPorts(std::vector<std::string>& problems);

class CMidiInput {
public:
    CMidiInput();
    ~CMidiInput();
    CMidiInput(const CMidiInput&) = delete;
    CMidiInput& operator=(const CMidiInput&) = delete;

    // Connects to the port the user named in `wanted`: its number in ListMidiPorts, or a part of
    // its name (any case) that only one port has; "" is the first port that is not the ALSA
    // "Midi Through" loop. Notes then go to `instance` from RtMidi's thread.
    bool Open(const std::string& wanted, int instance, std::string& error);
    const std::string& PortName() const { return port.name; }
    // Control thread. Whether the port is still offered; false once its keyboard or program is gone.
    bool PortPresent();
    // Disconnects, then releases every key still held, as the keyboard's note-offs would have.
    void Close();
    int64_t NotesPlayed() const { return notes.load(std::memory_order_relaxed); }

    // RtMidi's thread: one message from the port.
    void Receive(const std::vector<unsigned char>& message);

private:
    void ReleaseHeld();

    MIDI_PORT port;
    int instance = -1;
    std::unique_ptr<RtMidiIn> input;
    std::unique_ptr<RtMidiIn> lister;  // a client of its own that looks at the port list
    std::atomic<int> held[128] = {};
    std::atomic<int64_t> notes{0};
};

}  // namespace morvanel::tool
