// Real-time output through PortAudio (ALSA, PulseAudio or PipeWire through ALSA, JACK): choosing a
// device, and a stream whose callback pulls an instance's samples with GetBuffer and nothing else
// of the library's, measuring level, underruns and progress for the control thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace morvanel::tool {

struct AUDIO_DEVICE {
    int index = -1;  // PortAudio's device number, as --list-devices shows it
    std::string name;
    std::string hostApi;
    int channels = 0;
    double defaultRate = 0.0;
    double lowLatency = 0.0;  // seconds
    bool isDefault = false;
};

// PortAudio, initialised for the object's life. The sound systems' own complaints while PortAudio
// probes them (ALSA without a card, JACK without a server) are kept off the terminal.
class CAudioSystem {
public:
    CAudioSystem();
    ~CAudioSystem();
    CAudioSystem(const CAudioSystem&) = delete;
    CAudioSystem& operator=(const CAudioSystem&) = delete;

    bool Ready() const { return ready; }
    // Leaves PortAudio as it is at exit: after a JACK server has gone, closing its client waits
    // for the server forever.
    void Abandon() { ready = false; }
    const std::string& Problem() const { return problem; }
    std::vector<AUDIO_DEVICE> OutputDevices() const;
    // `wanted` is a device number, or a part of a device's name (any case) that only one device has;
    // "" is the system's default output.
    bool FindDevice(const std::string& wanted, AUDIO_DEVICE& device, std::string& error) const;

private:
    bool ready = false;
    std::string problem;
};

struct STREAM_SETUP {
    int rate = 0;          // 0: the device's own rate
    int bufferFrames = 0;  // 0: the device's low-latency default
    float gain = 1.0f;
};

// One output stream playing `instance`. Control-thread calls only, except the callback.
class COutputStream {
public:
    COutputStream() = default;
    ~COutputStream();
    COutputStream(const COutputStream&) = delete;
    COutputStream& operator=(const COutputStream&) = delete;

    // Opens the stream (not yet running); the rate it plays at is Rate() afterwards. False with a
    // message naming the device and what to do.
    bool Open(const AUDIO_DEVICE& device, const STREAM_SETUP& setup, std::string& error);
    // The instance is set before Start and never changes while the stream runs.
    void SetInstance(int id) { instance = id; }
    bool Start(std::string& error);
    // Ramps the output to silence over a few milliseconds; afterwards the callback writes zeros and
    // no longer calls GetBuffer.
    void FadeOut() { fadeRequested.store(true, std::memory_order_release); }
    bool Faded() const { return faded.load(std::memory_order_acquire); }
    // Lets what the device still holds play out, then closes the stream.
    void Stop();
    // Forgets a stream whose device has gone, without waiting for it (see CAudioSystem::Abandon).
    void Abandon() { stream = nullptr; }
    // Whether the stream still runs: false once the sound system has dropped it (a JACK server
    // that quit, a device unplugged).
    bool Running() const;

    int Rate() const { return rate; }
    const std::string& DeviceName() const { return deviceName; }
    // Frames the callback has produced so far, and the callbacks that produced them.
    int64_t Frames() const { return frames.load(std::memory_order_acquire); }
    int64_t Callbacks() const { return callbacks.load(std::memory_order_acquire); }
    // The highest absolute sample since the last call.
    float TakePeak() { return peak.exchange(0.0f, std::memory_order_acq_rel); }
    int64_t Underruns() const { return underruns.load(std::memory_order_relaxed); }

    // Audio thread only: PortAudio's callback. Calls GetBuffer and nothing else of the library's;
    // never locks or allocates.
    void Render(float* output, unsigned long frameCount, bool underflowed);

private:
    void* stream = nullptr;
    int rate = 0;
    int channels = 1;
    int instance = -1;
    float gain = 1.0f;
    std::string deviceName;
    // The callback's own state.
    static constexpr int kScratch = 4096;
    float scratch[kScratch] = {};
    float fade = 1.0f;
    float fadeStep = 0.0f;
    // Shared with the control thread.
    std::atomic<bool> fadeRequested{false};
    std::atomic<bool> faded{false};
    std::atomic<int64_t> frames{0};
    std::atomic<int64_t> callbacks{0};
    std::atomic<float> peak{0.0f};
    std::atomic<int64_t> underruns{0};
};

}  // namespace morvanel::tool
