// The render loop over the public API.
#include "render_loop.h"

#include <algorithm>
#include <cmath>

#include "morvanel.h"

namespace morvanel::tool {

namespace {

constexpr int64_t kBlock = 4096;

}  // namespace

RENDER_OUTCOME RenderEvents(int instance, std::vector<RENDER_EVENT> events, const RENDER_LIMITS& limits, CSampleSink& sink,
                            const std::function<bool(int64_t)>& keepGoing) {
    std::stable_sort(events.begin(), events.end(), [](const RENDER_EVENT& a, const RENDER_EVENT& b) { return a.at < b.at; });
    RENDER_OUTCOME outcome;
    std::vector<int> voices;
    size_t next = 0;
    auto apply = [&](const RENDER_EVENT& event) {
        switch (event.kind) {
            case EventKind::StartVoice: {
                const int id = StartVoice(event.text.c_str(), instance);
                if (id == 0) {
                    ++outcome.refusedStarts;
                } else {
                    voices.push_back(id);
                }
                break;
            }
            case EventKind::NoteOn: MidiNoteOn(event.note, event.velocity, instance); break;
            case EventKind::NoteOff: MidiNoteOff(event.note, instance); break;
            case EventKind::ReleaseVoices:
                for (int id : voices) ReleaseVoice(id, instance);
                break;
        }
    };
    auto startsPending = [&] {
        return std::any_of(events.begin() + static_cast<std::ptrdiff_t>(next), events.end(), [](const RENDER_EVENT& event) {
            return event.kind == EventKind::StartVoice || event.kind == EventKind::NoteOn;
        });
    };

    std::vector<float> block(kBlock);
    int64_t filled = 0;
    int64_t& done = outcome.samples;
    auto flush = [&] {
        if (filled == 0) return true;
        for (int64_t i = 0; i < filled; ++i) outcome.peak = std::max(outcome.peak, std::fabs(block[static_cast<size_t>(i)]));
        const bool written = sink.Write(block.data(), filled);
        filled = 0;
        outcome.sinkFailed = !written;
        return written;
    };
    const int64_t end = limits.length ? *limits.length : limits.maxLength;
    for (;;) {
        while (next < events.size() && events[next].at <= done) apply(events[next++]);
        if (done >= end) {
            outcome.hitMaxLength = !limits.length;
            break;
        }
        if (limits.length) {
            // A fixed length: as many samples at once as the block and the next event allow.
            int64_t count = std::min(end - done, kBlock - filled);
            if (next < events.size()) count = std::min(count, events[next].at - done);
            GetBuffer(static_cast<int>(count), block.data() + filled, instance);
            filled += count;
            done += count;
        } else {
            // Until every voice has ended: sample by sample, so the file ends exactly with the sound.
            GetBuffer(1, block.data() + filled, instance);
            if (MorvanelActiveVoices(instance) == 0 && !startsPending()) {
                // No voice contributed to the sample in which the last one ended: it is not part
                // of the sound.
                break;
            }
            ++filled;
            ++done;
        }
        if (filled == kBlock) {
            if (!flush()) return outcome;
            if (limits.silentCutoff >= 0 && done >= limits.silentCutoff && outcome.peak == 0.0f) {
                outcome.stoppedSilent = true;
                return outcome;
            }
            if (!keepGoing(done)) {
                outcome.stoppedByCaller = true;
                return outcome;
            }
        }
    }
    flush();
    return outcome;
}

}  // namespace morvanel::tool
