// RtMidi ports and the notes that come from them.
#include "midi_input.h"

#include <RtMidi.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <mutex>

#include "morvanel.h"
#include "quiet_stderr.h"

namespace morvanel::tool {

namespace {

const char kListHint[] = "morvanel play --list-midi lists them";

struct MIDI_SYSTEM {
    RtMidi::Api api;
    const char* name;
};
constexpr MIDI_SYSTEM kSystems[] = {{RtMidi::LINUX_ALSA, "ALSA"}, {RtMidi::UNIX_JACK, "JACK"}};

// RtMidi reports through this callback once it is set, instead of printing or throwing; the
// texts are kept for the caller to read after the call that failed.
struct ERROR_LOG {
    std::mutex lock;
    std::string last;
};

void KeepError(RtMidiError::Type type, const std::string& text, void* log) {
    if (type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING) return;
    auto& errors = *static_cast<ERROR_LOG*>(log);
    const std::lock_guard<std::mutex> hold(errors.lock);
    errors.last = text;
}

ERROR_LOG& Errors() {
    static ERROR_LOG log;
    return log;
}

std::string TakeError() {
    ERROR_LOG& log = Errors();
    const std::lock_guard<std::mutex> hold(log.lock);
    std::string text;
    text.swap(log.last);
    return text;
}

bool Compiled(RtMidi::Api api) {
    std::vector<RtMidi::Api> apis;
    RtMidi::getCompiledApi(apis);
    return std::find(apis.begin(), apis.end(), api) != apis.end();
}

// A client of `system` with its error callback set; null with the reason when the system is
// not there (no ALSA sequencer device, no JACK server).
std::unique_ptr<RtMidiIn> NewClient(const MIDI_SYSTEM& system, const char* clientName, std::string& problem) {
    if (!Compiled(system.api)) {
        problem = std::string(system.name) + ": not built into this RtMidi";
        return nullptr;
    }
    CQuietStderr quiet;
    try {
        auto client = std::make_unique<RtMidiIn>(system.api, clientName, 1024);
        client->setErrorCallback(KeepError, &Errors());
        return client;
    } catch (const RtMidiError& error) {
        problem = std::string(system.name) + ": not available (" + error.getMessage() + ")";
        return nullptr;
    }
}

std::vector<std::string> PortNames(RtMidiIn& client) {
    std::vector<std::string> names;
    const unsigned count = client.getPortCount();
    for (unsigned i = 0; i < count; ++i) names.push_back(client.getPortName(i));
    return names;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool IsThroughPort(const MIDI_PORT& port) { return port.system == "ALSA" && port.name.rfind("Midi Through", 0) == 0; }

void OnMessage(double, std::vector<unsigned char>* message, void* self) {
    if (message != nullptr) static_cast<CMidiInput*>(self)->Receive(*message);
}

}  // namespace

std::vector<MIDI_PORT> ListMidiPorts(std::vector<std::string>& problems) {
    std::vector<MIDI_PORT> ports;
    for (const MIDI_SYSTEM& system : kSystems) {
        std::string problem;
        const auto client = NewClient(system, "morvanel-list", problem);
        if (client == nullptr) {
            problems.push_back(problem);
            continue;
        }
        std::vector<std::string> names;
        {
            CQuietStderr quiet;
            names = PortNames(*client);
        }
        const std::string error = TakeError();
        if (names.empty() && !error.empty()) problems.push_back(std::string(system.name) + ": " + error);
        for (const std::string& name : names) ports.push_back({system.name, name});
    }
    return ports;
}

CMidiInput::CMidiInput() = default;

CMidiInput::~CMidiInput() { Close(); }

bool CMidiInput::Open(const std::string& wanted, int instanceId, std::string& error) {
    instance = instanceId;
    std::vector<std::string> problems;
    const std::vector<MIDI_PORT> ports = ListMidiPorts(problems);
    std::string reasons;
    for (const std::string& problem : problems) reasons += "; " + problem;
    std::vector<MIDI_PORT> matches;
    char* end = nullptr;
    const long number = std::strtol(wanted.c_str(), &end, 10);
    if (wanted.empty()) {
        const auto first = std::find_if(ports.begin(), ports.end(), [](const MIDI_PORT& p) { return !IsThroughPort(p); });
        if (first == ports.end()) {
            error = "no MIDI input port to connect to" + reasons + " (plug in a keyboard or start the program that "
                    "sends MIDI, then try again; --keys plays from the computer keyboard)";
            return false;
        }
        matches.push_back(*first);
    } else if (end != wanted.c_str() && *end == '\0') {
        if (number < 0 || number >= static_cast<long>(ports.size())) {
            error = "no MIDI input port has the number " + wanted + " (" + kListHint + ")";
            return false;
        }
        matches.push_back(ports[static_cast<size_t>(number)]);
    } else {
        for (const MIDI_PORT& candidate : ports) {
            if (Lower(candidate.name) == Lower(wanted)) {
                matches.assign(1, candidate);
                break;
            }
            if (Lower(candidate.name).find(Lower(wanted)) != std::string::npos) matches.push_back(candidate);
        }
        if (matches.empty()) {
            error = "no MIDI input port is called '" + wanted + "'" + reasons + " (" + kListHint + ")";
            return false;
        }
        if (matches.size() > 1) {
            error = "'" + wanted + "' names " + std::to_string(matches.size()) + " MIDI ports:";
            for (const MIDI_PORT& match : matches) error += " '" + match.name + "' (" + match.system + "),";
            error.back() = ';';
            error += " give more of the name or its number";
            return false;
        }
    }
    port = matches.front();

    const MIDI_SYSTEM& system = port.system == "ALSA" ? kSystems[0] : kSystems[1];
    std::string problem;
    input = NewClient(system, "morvanel-midi", problem);
    lister = input != nullptr ? NewClient(system, "morvanel-ports", problem) : nullptr;
    if (input == nullptr || lister == nullptr) {
        error = "cannot connect to MIDI port '" + port.name + "': " + problem;
        input.reset();
        return false;
    }
    // The port's number may have changed since the list was made.
    const std::vector<std::string> names = PortNames(*input);
    const auto found = std::find(names.begin(), names.end(), port.name);
    if (found == names.end()) {
        error = "MIDI port '" + port.name + "' went away before it could be connected";
        input.reset();
        return false;
    }
    input->ignoreTypes(true, true, true);
    input->setCallback(OnMessage, this);
    {
        CQuietStderr quiet;
        TakeError();
        input->openPort(static_cast<unsigned>(found - names.begin()), "midi_in");
    }
    const std::string failure = TakeError();
    if (!input->isPortOpen() || !failure.empty()) {
        error = "cannot connect to MIDI port '" + port.name + "': " + (failure.empty() ? "RtMidi refused" : failure);
        input.reset();
        return false;
    }
    return true;
}

bool CMidiInput::PortPresent() {
    if (lister == nullptr) return false;
    const std::vector<std::string> names = PortNames(*lister);
    return std::find(names.begin(), names.end(), port.name) != names.end();
}

void CMidiInput::Close() {
    if (input == nullptr) return;
    input->cancelCallback();
    input->closePort();
    input.reset();
    lister.reset();
    ReleaseHeld();
}

void CMidiInput::ReleaseHeld() {
    for (int key = 0; key < 128; ++key) {
        if (held[key].exchange(0, std::memory_order_acq_rel) > 0) MidiNoteOff(key, instance);
    }
}

void CMidiInput::Receive(const std::vector<unsigned char>& message) {
    if (message.size() < 3) return;
    const int kind = message[0] & 0xF0;
    const int key = message[1] & 0x7F;
    const int value = message[2] & 0x7F;
    if (kind == 0x90 && value > 0) {
        held[key].fetch_add(1, std::memory_order_acq_rel);
        notes.fetch_add(1, std::memory_order_relaxed);
        MidiNoteOn(key, value, instance);
    } else if (kind == 0x80 || kind == 0x90) {
        held[key].store(0, std::memory_order_release);
        MidiNoteOff(key, instance);
    } else if (kind == 0xB0 && (key == 120 || key == 123)) {
        // All Sound Off and All Notes Off: a keyboard's panic button.
        ReleaseHeld();
    }
}

}  // namespace morvanel::tool
