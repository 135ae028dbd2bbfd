// Tone workloads, each a script with the voices it starts and its hand-written loop: melodies of
// calls with and without a fade per note, long fades, noise bursts, a gliding period, and notes
// of one sample for the cost of a call.
#include <array>
#include <string>

#include "reference_sound.h"
#include "sounds.h"

namespace morvanel::bench {

namespace {

using namespace reference;

// ---- Melody: a song box calls a note box with a pitch and a length. ----

// c5 e5 g5 c6 g5 e5, round and round, in eight keys: voice i plays the song a semitone above
// voice i - 1 (eight songs in turn), so that no two neighbouring voices share a pitch.
constexpr std::array<int, 6> kMelodyNotes = {72, 76, 79, 84, 79, 76};
constexpr int kMelodyKeys = 8;

std::string NoteName(int midi) {
    static constexpr std::array<const char*, 12> kNames = {"c", "c#", "d", "d#", "e", "f", "f#", "g", "g#", "a", "a#", "b"};
    return kNames[static_cast<size_t>(midi % 12)] + std::to_string(midi / 12 - 1);
}

std::string MelodyScript(bool fade) {
    std::string script = fade ? "note:%p:%l = { dur(%l) { fadeout(%l) @loop sqr(%p) } }\n"
                              : "note:%p:%l = { dur(%l) { @loop sqr(%p) } }\n";
    for (int key = 0; key < kMelodyKeys; ++key) {
        script += "song" + std::to_string(key) + ":%l = { vol(0.5) @loop";
        for (int note : kMelodyNotes) script += " note:" + NoteName(note + key) + ":%l";
        script += " }\n";
    }
    return script;
}

template <int kLength, bool kFade>
SOUND_PLAN MelodyPlan(int voices) {
    SOUND_PLAN plan;
    plan.script = MelodyScript(kFade);
    StartOnePerSample(plan, voices, [](int i) {
        SOUND_EVENT event;
        event.text = "song" + std::to_string(i % kMelodyKeys) + ":" + std::to_string(kLength);
        event.sound = i % kMelodyKeys;
        return event;
    });
    plan.length = MeasuredLength(voices, plan.warmup, 0);
    return plan;
}

// One oscillator per voice runs on through the notes (the note box and its body drive the song's
// oscillator); each note restarts the fade at full volume. The song's volume scales last.
template <int kLength, bool kFade>
struct MELODY {
    struct VOICE : RELEASABLE {
        int64_t phase = 0;
        int64_t period = 0;
        const int64_t* periods = nullptr;  // of the voice's key
        int32_t left = 0;
        int32_t index = static_cast<int32_t>(kMelodyNotes.size()) - 1;
        FADE fade;
    };
    std::array<std::array<int64_t, kMelodyNotes.size()>, kMelodyKeys> periods{};

    MELODY() {
        for (size_t key = 0; key < periods.size(); ++key) {
            for (size_t i = 0; i < kMelodyNotes.size(); ++i) {
                periods[key][i] = NotePeriod(kMelodyNotes[i] + static_cast<int>(key));
            }
        }
    }
    VOICE Start(const SOUND_EVENT& event, int32_t number) {
        VOICE voice;
        voice.startNumber = number;
        voice.periods = periods[static_cast<size_t>(event.sound)].data();
        return voice;
    }
    bool Next(VOICE& voice, float& sample) {
        if (voice.left == 0) {
            voice.index = voice.index + 1 == static_cast<int32_t>(kMelodyNotes.size()) ? 0 : voice.index + 1;
            voice.period = voice.periods[voice.index];
            voice.left = kLength;
            if (kFade) voice.fade = FadeOut(1.0f, kLength);
        }
        --voice.left;
        if (kFade) {
            voice.fade.Advance();
            sample = (Square(voice.phase, voice.period) * voice.fade.volume) * 0.5f;
        } else {
            sample = Square(voice.phase, voice.period) * 0.5f;
        }
        return true;
    }
};

template <int kLength, bool kFade>
std::unique_ptr<CReferenceLoop> MelodyLoop(uint8_t) {
    return MakeLoop(MELODY<kLength, kFade>());
}

// ---- Long fades: ten seconds in on a square, out on a saw. ----

int64_t FadePeriod(int voice) { return 50 + (voice * 37) % 100; }

template <bool kIn>
SOUND_PLAN LongFadePlan(int voices) {
    SOUND_PLAN plan;
    plan.script = kIn ? "swell:%p = { vol(0) fadein(~10) @loop sqr(%p) }\n" : "fall:%p = { fadeout(~10) @loop saw(%p) }\n";
    StartOnePerSample(plan, voices, [](int i) {
        SOUND_EVENT event;
        event.text = (kIn ? "swell:" : "fall:") + std::to_string(FadePeriod(i));
        event.argument = static_cast<float>(FadePeriod(i));
        return event;
    });
    plan.length = MeasuredLength(voices, plan.warmup, 0);
    return plan;
}

template <bool kIn>
struct LONG_FADE {
    struct VOICE : RELEASABLE {
        int64_t phase = 0;
        int64_t period = 0;
        FADE fade;
    };
    VOICE Start(const SOUND_EVENT& event, int32_t number) {
        VOICE voice;
        voice.startNumber = number;
        voice.period = static_cast<int64_t>(event.argument);
        voice.fade = kIn ? FadeIn(0.0f, 10 * kSoundRate) : FadeOut(1.0f, 10 * kSoundRate);
        return voice;
    }
    bool Next(VOICE& voice, float& sample) {
        voice.fade.Advance();
        sample = (kIn ? Square(voice.phase, voice.period) : Saw(voice.phase, voice.period)) * voice.fade.volume;
        return true;
    }
};

template <bool kIn>
std::unique_ptr<CReferenceLoop> LongFadeLoop(uint8_t) {
    return MakeLoop(LONG_FADE<kIn>());
}

// ---- Noise bursts: 2400 samples of noise fading out, 1200 of silence, round and round. ----

enum class NOISE { kNoise5, kNoise17e, kWhite };

constexpr int kBurst = 2400;
constexpr int kGap = 1200;

int64_t BurstPeriod(int voice) { return 4 + (voice * 7) % 29; }

template <NOISE kNoise>
SOUND_PLAN NoiseBurstPlan(int voices) {
    SOUND_PLAN plan;
    switch (kNoise) {
        case NOISE::kNoise5:
            plan.script = "burst:%p = { @loop dur(2400) { fadeout(2400) @loop noise5(%p) } dur(1200) {} }\n";
            break;
        case NOISE::kNoise17e:
            plan.script = "burst:%p = { @loop dur(2400) { fadeout(2400) @loop noise17e(%p) } dur(1200) {} }\n";
            break;
        case NOISE::kWhite:
            plan.script = "burst = { @loop dur(2400) { fadeout(2400) @loop ? } dur(1200) {} }\n";
            break;
    }
    StartOnePerSample(plan, voices, [](int i) {
        SOUND_EVENT event;
        event.text = kNoise == NOISE::kWhite ? std::string("burst") : "burst:" + std::to_string(BurstPeriod(i));
        event.argument = static_cast<float>(BurstPeriod(i));
        return event;
    });
    plan.length = MeasuredLength(voices, plan.warmup, 0);
    return plan;
}

// The burst's body drives the voice's oscillator, so its phase and register carry over from one
// burst to the next; the register starts as the last one any noise5 step left behind.
template <NOISE kNoise>
struct NOISE_BURST {
    struct VOICE : RELEASABLE {
        NOISE_TONE tone;
        int64_t period = 0;
        int32_t position = 0;  // within one burst and its gap
        FADE fade;
    };
    uint8_t lastRegister = 0;

    VOICE Start(const SOUND_EVENT& event, int32_t number) {
        VOICE voice;
        voice.startNumber = number;
        voice.period = static_cast<int64_t>(event.argument);
        voice.tone.shiftRegister = lastRegister;
        return voice;
    }
    bool Next(VOICE& voice, float& sample) {
        if (voice.position < kBurst) {
            if (voice.position == 0) voice.fade = FadeOut(1.0f, kBurst);
            voice.fade.Advance();
            float value = 0.0f;
            switch (kNoise) {
                case NOISE::kNoise5: value = voice.tone.Noise5(voice.period, lastRegister); break;
                case NOISE::kNoise17e: value = voice.tone.Noise17e(voice.period); break;
                case NOISE::kWhite: value = WhiteNoise(); break;
            }
            sample = value * voice.fade.volume;
        } else {
            sample = 0.0f;
        }
        if (++voice.position == kBurst + kGap) voice.position = 0;
        return true;
    }
};

template <NOISE kNoise>
std::unique_ptr<CReferenceLoop> NoiseBurstLoop(uint8_t noiseRegister) {
    NOISE_BURST<kNoise> sound;
    sound.lastRegister = noiseRegister;
    return MakeLoop(sound);
}

// ---- Glide: the period is a variable written every sample. ----

float GlideStart(int voice) { return static_cast<float>(40 + (voice * 13) % 64); }

SOUND_PLAN GlidePlan(int voices) {
    SOUND_PLAN plan;
    plan.script = "glide:%p = { @loop sqr(%p) %p = %p + 0.01 }\n";
    StartOnePerSample(plan, voices, [](int i) {
        SOUND_EVENT event;
        event.text = "glide:" + std::to_string(static_cast<int>(GlideStart(i)));
        event.argument = GlideStart(i);
        return event;
    });
    plan.length = MeasuredLength(voices, plan.warmup, 0);
    return plan;
}

struct GLIDE {
    struct VOICE : RELEASABLE {
        int64_t phase = 0;
        float period = 0.0f;
    };
    VOICE Start(const SOUND_EVENT& event, int32_t number) {
        VOICE voice;
        voice.startNumber = number;
        voice.period = event.argument;
        return voice;
    }
    bool Next(VOICE& voice, float& sample) {
        sample = Square(voice.phase, static_cast<int64_t>(voice.period));
        voice.period = voice.period + 0.01f;
        return true;
    }
};

std::unique_ptr<CReferenceLoop> GlideLoop(uint8_t) { return MakeLoop(GLIDE()); }

// ---- Notes of one box call each, for what a call's start and end cost. ----

constexpr std::array<int, 4> kCallNotes = {72, 76, 79, 84};

template <int kLength>
SOUND_PLAN CallNotesPlan(int voices) {
    SOUND_PLAN plan;
    plan.script = "note:%p = dur(" + std::to_string(kLength) + ") { @loop sqr(%p) }\nsong = { @loop note:c5 e5 g5 c6 }\n";
    StartOnePerSample(plan, voices, [](int) {
        SOUND_EVENT event;
        event.text = "song";
        return event;
    });
    plan.length = MeasuredLength(voices, plan.warmup, 0);
    return plan;
}

template <int kLength>
struct CALL_NOTES {
    struct VOICE : RELEASABLE {
        int64_t phase = 0;
        int32_t left = kLength;
        int32_t index = 0;
    };
    std::array<int64_t, kCallNotes.size()> periods{};

    CALL_NOTES() {
        for (size_t i = 0; i < periods.size(); ++i) periods[i] = NotePeriod(kCallNotes[i]);
    }
    VOICE Start(const SOUND_EVENT&, int32_t number) {
        VOICE voice;
        voice.startNumber = number;
        return voice;
    }
    bool Next(VOICE& voice, float& sample) {
        sample = Square(voice.phase, periods[static_cast<size_t>(voice.index)]);
        if (--voice.left == 0) {
            voice.left = kLength;
            voice.index = (voice.index + 1) & 3;
        }
        return true;
    }
};

template <int kLength>
std::unique_ptr<CReferenceLoop> CallNotesLoop(uint8_t) {
    return MakeLoop(CALL_NOTES<kLength>());
}

}  // namespace

const size_t kMelodyLoopVoiceBytes = sizeof(MELODY<2400, false>::VOICE);

void AddToneWorkloads(std::vector<SOUND_WORKLOAD>& workloads) {
    workloads.push_back({"Melody100", "melody, 100-sample notes", MelodyPlan<100, false>, MelodyLoop<100, false>, true});
    workloads.push_back({"Melody100Fade", "melody, 100-sample notes, a fade per note", MelodyPlan<100, true>,
                         MelodyLoop<100, true>, true});
    workloads.push_back({"Melody2400", "melody, 2400-sample notes", MelodyPlan<2400, false>, MelodyLoop<2400, false>, true});
    workloads.push_back({"Melody2400Fade", "melody, 2400-sample notes, a fade per note", MelodyPlan<2400, true>,
                         MelodyLoop<2400, true>, true});
    workloads.push_back({"FadeInSquare", "10 s fade-in on a square", LongFadePlan<true>, LongFadeLoop<true>, true});
    workloads.push_back({"FadeOutSaw", "10 s fade-out on a saw", LongFadePlan<false>, LongFadeLoop<false>, true});
    workloads.push_back({"Noise5Bursts", "noise5 bursts with fades", NoiseBurstPlan<NOISE::kNoise5>,
                         NoiseBurstLoop<NOISE::kNoise5>, true});
    workloads.push_back({"Noise17eBursts", "noise17e bursts with fades", NoiseBurstPlan<NOISE::kNoise17e>,
                         NoiseBurstLoop<NOISE::kNoise17e>, true});
    workloads.push_back({"WhiteNoiseBursts", "`?` bursts with fades", NoiseBurstPlan<NOISE::kWhite>,
                         NoiseBurstLoop<NOISE::kWhite>, true});
    workloads.push_back({"Glide", "glide: `%p = %p + 0.01` and `sqr(%p)` every sample", GlidePlan, GlideLoop, true});
    workloads.push_back({"CallNotes1", "one box call per sample (1-sample notes)", CallNotesPlan<1>, CallNotesLoop<1>, false});
    workloads.push_back({"CallNotes2400", "one box call per 2400 samples", CallNotesPlan<2400>, CallNotesLoop<2400>, false});
}

}  // namespace morvanel::bench
