// PortAudio devices and the output stream.
#include "audio_output.h"

#include <pa_jack.h>
#include <portaudio.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

#include "morvanel.h"
#include "quiet_stderr.h"

namespace morvanel::tool {

namespace {

constexpr double kFadeSeconds = 0.02;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string HostErrorText(PaError code) {
    std::string text = Pa_GetErrorText(code);
    if (code == paUnanticipatedHostError) {
        const PaHostErrorInfo* host = Pa_GetLastHostErrorInfo();
        if (host != nullptr && host->errorText != nullptr && host->errorText[0] != '\0') text += std::string(": ") + host->errorText;
    }
    return text;
}

const char kListHint[] = "morvanel play --list-devices lists them";

int StreamCallback(const void*, void* output, unsigned long frameCount, const PaStreamCallbackTimeInfo*,
                   PaStreamCallbackFlags flags, void* self) {
    static_cast<COutputStream*>(self)->Render(static_cast<float*>(output), frameCount, (flags & paOutputUnderflow) != 0);
    return paContinue;
}

}  // namespace

CAudioSystem::CAudioSystem() {
    PaJack_SetClientName("morvanel");
    CQuietStderr quiet;
    const PaError code = Pa_Initialize();
    ready = code == paNoError;
    if (!ready) problem = HostErrorText(code);
}

CAudioSystem::~CAudioSystem() {
    if (ready) Pa_Terminate();
}

std::vector<AUDIO_DEVICE> CAudioSystem::OutputDevices() const {
    std::vector<AUDIO_DEVICE> devices;
    if (!ready) return devices;
    const PaDeviceIndex preferred = Pa_GetDefaultOutputDevice();
    const int count = Pa_GetDeviceCount();
    for (int index = 0; index < count; ++index) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
        if (info == nullptr || info->maxOutputChannels <= 0) continue;
        const PaHostApiInfo* host = Pa_GetHostApiInfo(info->hostApi);
        AUDIO_DEVICE device;
        device.index = index;
        device.name = info->name != nullptr ? info->name : "";
        device.hostApi = host != nullptr && host->name != nullptr ? host->name : "";
        device.channels = info->maxOutputChannels;
        device.defaultRate = info->defaultSampleRate;
        device.lowLatency = info->defaultLowOutputLatency;
        device.isDefault = index == preferred;
        devices.push_back(device);
    }
    return devices;
}

bool CAudioSystem::FindDevice(const std::string& wanted, AUDIO_DEVICE& device, std::string& error) const {
    if (!ready) {
        error = "cannot start PortAudio: " + problem;
        return false;
    }
    const std::vector<AUDIO_DEVICE> devices = OutputDevices();
    // A device that another program holds when PortAudio looks is listed without outputs.
    auto heldElsewhere = [&] {
        for (int index = 0; index < Pa_GetDeviceCount() && !wanted.empty(); ++index) {
            const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
            if (info == nullptr || info->name == nullptr || info->maxOutputChannels > 0 ||
                Lower(info->name).find(Lower(wanted)) == std::string::npos) {
                continue;
            }
            error = std::string("the audio device '") + info->name + "' offers no output now: another program may hold it "
                    "(busy); close that program, or choose another device with --device (" + kListHint + ")";
            return true;
        }
        return false;
    };
    if (devices.empty()) {
        if (heldElsewhere()) return false;
        error = "no audio output device: PortAudio finds no sound card, no PulseAudio or PipeWire through ALSA, and no "
                "running JACK server (a sound card that another program holds is not listed)";
        return false;
    }
    if (wanted.empty()) {
        const auto preferred = std::find_if(devices.begin(), devices.end(), [](const AUDIO_DEVICE& d) { return d.isDefault; });
        device = preferred != devices.end() ? *preferred : devices.front();
        return true;
    }
    char* end = nullptr;
    const long number = std::strtol(wanted.c_str(), &end, 10);
    if (end != wanted.c_str() && *end == '\0') {
        for (const AUDIO_DEVICE& candidate : devices) {
            if (candidate.index == number) {
                device = candidate;
                return true;
            }
        }
        error = "no audio output device has the number " + wanted + " (" + kListHint + ")";
        return false;
    }
    std::vector<AUDIO_DEVICE> matches;
    for (const AUDIO_DEVICE& candidate : devices) {
        if (Lower(candidate.name) == Lower(wanted)) {
            device = candidate;
            return true;
        }
        if (Lower(candidate.name).find(Lower(wanted)) != std::string::npos) matches.push_back(candidate);
    }
    if (matches.size() == 1) {
        device = matches.front();
        return true;
    }
    if (matches.empty()) {
        if (heldElsewhere()) return false;
        error = "no audio output device is called '" + wanted + "' (" + kListHint + "; one that another program holds "
                "is not listed)";
    } else {
        error = "'" + wanted + "' names " + std::to_string(matches.size()) + " audio output devices:";
        for (const AUDIO_DEVICE& match : matches) {
            error.append(" ").append(std::to_string(match.index)).append(" '").append(match.name).append("',");
        }
        error.back() = ';';
        error.append(" give --device NUMBER");
    }
    return false;
}

COutputStream::~COutputStream() {
    if (stream != nullptr) {
        Pa_AbortStream(stream);
        Pa_CloseStream(stream);
    }
}

bool COutputStream::Open(const AUDIO_DEVICE& device, const STREAM_SETUP& setup, std::string& error) {
    deviceName = device.name;
    channels = std::min(device.channels, 2);
    rate = setup.rate > 0 ? setup.rate : static_cast<int>(std::lround(device.defaultRate));
    gain = setup.gain;
    fadeStep = static_cast<float>(1.0 / (kFadeSeconds * rate));
    PaStreamParameters parameters{};
    parameters.device = device.index;
    parameters.channelCount = channels;
    parameters.sampleFormat = paFloat32;
    parameters.suggestedLatency = setup.bufferFrames > 0 ? static_cast<double>(setup.bufferFrames) / rate : device.lowLatency;
    const unsigned long perBuffer = setup.bufferFrames > 0 ? static_cast<unsigned long>(setup.bufferFrames)
                                                           : paFramesPerBufferUnspecified;
    PaError code;
    {
        CQuietStderr quiet;
        code = Pa_IsFormatSupported(nullptr, &parameters, rate);
        if (code == paFormatIsSupported) {
            code = Pa_OpenStream(&stream, nullptr, &parameters, rate, perBuffer, paClipOff | paDitherOff, StreamCallback, this);
        }
    }
    if (code == paNoError) return true;
    stream = nullptr;
    const std::string named = "the audio device '" + device.name + "' (" + device.hostApi + ")";
    switch (code) {
        case paInvalidSampleRate:
            error = named + " cannot play at " + std::to_string(rate) + " Hz; its own rate is " +
                    std::to_string(std::lround(device.defaultRate)) + " Hz (leave out --rate to use it)";
            break;
        case paDeviceUnavailable:
            error = named + " is busy: another program holds it; close that program, or choose another device with "
                    "--device (" + kListHint + ")";
            break;
        case paBadIODeviceCombination:
        case paInvalidDevice:
            error = named + " went away before it could be opened (" + kListHint + ")";
            break;
        default:
            error = "cannot open " + named + ": " + HostErrorText(code);
            if (setup.bufferFrames > 0) error += " (with --buffer " + std::to_string(setup.bufferFrames) + ")";
            break;
    }
    return false;
}

bool COutputStream::Start(std::string& error) {
    PaError code;
    {
        CQuietStderr quiet;
        code = Pa_StartStream(stream);
    }
    if (code == paNoError) return true;
    error = "cannot start the audio device '" + deviceName + "': " + HostErrorText(code);
    return false;
}

void COutputStream::Stop() {
    if (stream == nullptr) return;
    Pa_StopStream(stream);
    Pa_CloseStream(stream);
    stream = nullptr;
}

bool COutputStream::Running() const { return stream != nullptr && Pa_IsStreamActive(stream) == 1; }

void COutputStream::Render(float* output, unsigned long frameCount, bool underflowed) {
    if (underflowed) underruns.fetch_add(1, std::memory_order_relaxed);
    float loudest = 0.0f;
    const bool fading = fadeRequested.load(std::memory_order_acquire);
    unsigned long done = 0;
    while (done < frameCount) {
        const int count = static_cast<int>(std::min<unsigned long>(frameCount - done, kScratch));
        float* mono = channels == 1 ? output + done : scratch;
        if (fade > 0.0f) {
            GetBuffer(count, mono, instance);
        } else {
            std::fill(mono, mono + count, 0.0f);
        }
        for (int i = 0; i < count; ++i) {
            if (fading && fade > 0.0f) fade = std::max(0.0f, fade - fadeStep);
            const float value = mono[i] * gain * fade;
            mono[i] = value;
            loudest = std::max(loudest, std::fabs(value));
        }
        if (channels > 1) {
            for (int i = 0; i < count; ++i) {
                for (int channel = 0; channel < channels; ++channel) output[(done + static_cast<unsigned long>(i)) * channels + channel] = mono[i];
            }
        }
        done += static_cast<unsigned long>(count);
    }
    if (fading && fade == 0.0f) faded.store(true, std::memory_order_release);
    float seen = peak.load(std::memory_order_relaxed);
    while (loudest > seen && !peak.compare_exchange_weak(seen, loudest, std::memory_order_acq_rel)) {
    }
    frames.fetch_add(static_cast<int64_t>(frameCount), std::memory_order_acq_rel);
    callbacks.fetch_add(1, std::memory_order_acq_rel);
}

}  // namespace morvanel::tool
