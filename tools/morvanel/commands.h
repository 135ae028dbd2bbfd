// The tool's commands.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "output_routing.h"

namespace morvanel::tool {

// A voice started through the MIDI key map, as a keyboard would: `--note BOX:KEY[:VELOCITY]`.
struct NOTE_START {
    std::string box;
    int key = 60;
    int velocity = 127;
};

// An engine variable written before rendering: `--set %d=20`.
struct VARIABLE_SETTING {
    char letter = 0;
    float value = 0.0f;
};

struct RenderOptions {
    std::vector<std::string> scripts;  // "-": standard input
    std::string output;                // "": each script's name with .wav; "-": standard output; or a directory
    int rate = 48000;
    std::vector<std::string> voices;
    std::vector<NOTE_START> notes;
    std::vector<VARIABLE_SETTING> settings;
    std::optional<double> seconds;
    double maxSeconds = 600.0;
    std::string bits;
    std::optional<unsigned> seed;
    std::optional<double> releaseAfter;  // release every started voice this far into the render
    bool normalize = false;
    std::optional<double> gainDb;
    bool quiet = false;
    std::string midiFile;  // a Standard MIDI File played through the script's midikey maps
    int channel = 0;       // its channel to play, 1 to 16; 0: every channel
};

struct CheckOptions {
    std::vector<std::string> scripts;
    bool json = false;
    bool werror = false;
    int rate = 48000;
    std::string stdinName;  // the name diagnostics give a script read from standard input
};

struct PlayOptions {
    std::string script;
    std::vector<std::string> voices;
    std::optional<double> seconds;
    bool listDevices = false;
    bool listMidi = false;
    std::string device;    // "": the default output
    int bufferFrames = 0;  // 0: the device's low-latency default
    int rate = 0;          // 0: the device's rate
    std::optional<double> gainDb;
    bool watch = false;
    bool watchPolling = false;
    bool midiIn = false;
    std::string midiPort;  // "": the first port
    bool keys = false;
};

// Each returns the process exit status (0, 1 for a failure, 2 for a usage error); messages go to
// standard error, results to `routing`'s results stream.
int RunRender(const RenderOptions& options, OutputRouting& routing);
int RunCheck(const CheckOptions& options, OutputRouting& routing);
int RunPlay(const PlayOptions& options, OutputRouting& routing);

}  // namespace morvanel::tool
