// The render loop: applies timed events (voice starts, MIDI notes, releases) at their sample and
// pulls samples from an instance in blocks that end at event times, handing them to a sink.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace morvanel::tool {

enum class EventKind {
    StartVoice,     // `text` is a start text
    NoteOn,         // `note`, `velocity`
    NoteOff,        // `note`
    ReleaseVoices,  // every voice the StartVoice events have started so far
};

struct RENDER_EVENT {
    int64_t at = 0;  // sample index; the event applies before that sample renders
    EventKind kind = EventKind::StartVoice;
    std::string text;
    int note = 0;
    int velocity = 0;
};

class CSampleSink {
public:
    virtual ~CSampleSink() = default;
    // False stops the render (the sink keeps its reason).
    virtual bool Write(const float* samples, int64_t count) = 0;
};

struct RENDER_LIMITS {
    std::optional<int64_t> length;  // render exactly this many samples
    int64_t maxLength = 0;          // otherwise: until every voice has ended, at most this many
    int64_t silentCutoff = -1;      // stop when every sample up to here was silent (-1: never)
};

struct RENDER_OUTCOME {
    int64_t samples = 0;
    float peak = 0.0f;           // of the samples as rendered
    bool hitMaxLength = false;   // voices were still playing at maxLength
    bool stoppedSilent = false;  // silentCutoff was reached
    bool stoppedByCaller = false;
    bool sinkFailed = false;
    int refusedStarts = 0;       // StartVoice calls the engine refused (a full command ring)
};

// Renders `events` on `instance` into `sink`. `keepGoing` is asked between blocks with the
// samples rendered so far; false stops the render.
RENDER_OUTCOME RenderEvents(int instance, std::vector<RENDER_EVENT> events, const RENDER_LIMITS& limits, CSampleSink& sink,
                            const std::function<bool(int64_t)>& keepGoing);

}  // namespace morvanel::tool
