// Each example box as N voices, and a game mix of a drum loop, a looping melody and one-shots,
// with their hand-written loops. The scripts are the example files themselves (without their run
// lines), so a changed example shows up as a difference from its loop.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "reference_sound.h"
#include "sounds.h"

#ifndef MORVANEL_EXAMPLES_DIR
#error "MORVANEL_EXAMPLES_DIR must name the examples folder"
#endif

namespace morvanel::bench {

std::string ExampleScript(const char* name) {
    const std::string path = std::string(MORVANEL_EXAMPLES_DIR) + "/" + name + ".mv";
    std::ifstream file(path);
    if (!file) {
        std::fprintf(stderr, "cannot read %s, which defines a benchmark workload\n", path.c_str());
        std::exit(1);
    }
    std::string script;
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("run(", 0) == 0) continue;
        script += line;
        script += '\n';
    }
    return script;
}

namespace {

using namespace reference;

// MIDI numbers of the notes the examples name.
constexpr int kC3 = 48, kF3 = 53, kG3 = 55, kA3 = 57, kB3 = 59, kC4 = 60, kD4 = 62, kE4 = 64, kG4 = 67;
constexpr int kC5 = 72, kD5 = 74, kE5 = 76, kG5 = 79, kB5 = 83, kE6 = 88;

SOUND_PLAN ExamplePlan(const char* file, int voices, const char* box, int64_t life) {
    SOUND_PLAN plan;
    plan.script = ExampleScript(file);
    StartOnePerSample(plan, voices, [box](int) {
        SOUND_EVENT event;
        event.text = box;
        return event;
    });
    plan.length = MeasuredLength(voices, plan.warmup, life);
    return plan;
}

// Notes of a call that plays `length` samples of a square with a fade-out over the note
// (melody.mv's note box).
struct FADED_NOTE {
    int32_t length;
    int note;
};

struct NOTE_PLAYER {
    int64_t phase = 0;
    int64_t period = 0;
    int32_t left = 0;
    int32_t index = -1;
    FADE fade;
};

// The next sample of a list of faded notes scaled by the caller's `volume`; false once the list
// has run out (a looping list starts again at once).
inline bool NextFadedNote(NOTE_PLAYER& player, const FADED_NOTE* notes, const int64_t* periods, int32_t count,
                          bool loop, float volume, float& sample) {
    if (player.left == 0) {
        if (++player.index == count) {
            if (!loop) return false;
            player.index = 0;
        }
        player.period = periods[player.index];
        player.left = notes[player.index].length;
        player.fade = FadeOut(1.0f, player.left);
    }
    --player.left;
    player.fade.Advance();
    sample = (Square(player.phase, player.period) * player.fade.volume) * volume;
    return true;
}

// melody.mv's tune: the squashed calls written out.
constexpr std::array<FADED_NOTE, 26> kTune = {{
    {12000, kE5}, {12000, kD5}, {12000, kC5}, {12000, kD5}, {12000, kE5}, {12000, kE5}, {24000, kE5},
    {12000, kD5}, {12000, kD5}, {24000, kD5},
    {12000, kE5}, {12000, kG5}, {24000, kG5},
    {12000, kE5}, {12000, kD5}, {12000, kC5}, {12000, kD5}, {12000, kE5}, {12000, kE5}, {12000, kE5}, {12000, kE5},
    {12000, kD5}, {12000, kD5}, {12000, kE5}, {12000, kD5}, {48000, kC5},
}};
constexpr int64_t kTuneLength = 384000;

// The game mix's looping melody: note:6000:e5 d5 c5 d5 e5 e5 12000:e5.
constexpr std::array<FADED_NOTE, 7> kLoopMelody = {{
    {6000, kE5}, {6000, kD5}, {6000, kC5}, {6000, kD5}, {6000, kE5}, {6000, kE5}, {12000, kE5},
}};

template <size_t kCount>
std::array<int64_t, kCount> PeriodsOf(const std::array<FADED_NOTE, kCount>& notes) {
    std::array<int64_t, kCount> periods{};
    for (size_t i = 0; i < kCount; ++i) periods[i] = NotePeriod(notes[i].note);
    return periods;
}

// One bar of drums.mv's beat, 12000 samples a step: the first body plays kicks on steps 0, 4 and 5
// and snares on 2 and 6, the second a hat on every step. The first body is stepped before the
// second, so the snare draws its random numbers before the hat.
constexpr int32_t kStep = 12000;
constexpr int32_t kBar = 8 * kStep;

struct BEAT {
    int32_t position = 0;  // within the bar
    float frequency = 0.0f;
    float turns = 0.0f;
    float hatLast = 0.0f;
    FADE kick;
    FADE snare;
    FADE hat;

    float Next() {
        const int32_t step = position / kStep;
        const int32_t offset = position % kStep;
        float first = 0.0f;
        if (step == 0 || step == 4 || step == 5) {
            // The kick: a sine whose frequency slides from 150 Hz toward 45 Hz.
            if (offset == 0) {
                kick = FadeOut(1.0f, 12000);
                frequency = 150.0f;
                turns = 0.0f;
            } else {
                turns = turns + frequency / 48000.0f;
                frequency = 45.0f + (frequency - 45.0f) * (1.0f - 33.0f / 48000.0f);
            }
            const float sine = Sine2Pi(turns);
            kick.Advance();
            first = sine * kick.volume;
        } else if ((step == 2 || step == 6) && offset < 7200) {
            if (offset == 0) snare = FadeOut(0.8f, 7200);
            snare.Advance();
            first = WhiteNoise() * snare.volume;
        }
        float second = 0.0f;
        if (offset < 2400) {
            // The hat: the difference of two random numbers drawn one sample apart.
            if (offset == 0) {
                hat = FadeOut(0.6f, 2400);
                hatLast = RandomNumber();
            }
            const float drawn = RandomNumber();
            const float difference = drawn - hatLast;
            hatLast = drawn;
            hat.Advance();
            second = difference * hat.volume;
        }
        if (++position == kBar) position = 0;
        return first + second;
    }
};

// coin.mv: 2880 samples of b5, then 16800 of e6 fading out, on one oscillator.
float CoinSample(int64_t& phase, int32_t position, FADE& fade, int64_t lowPeriod, int64_t highPeriod) {
    if (position < 2880) return Square(phase, lowPeriod);
    if (position == 2880) fade = FadeOut(1.0f, 16800);
    fade.Advance();
    return Square(phase, highPeriod) * fade.volume;
}
constexpr int32_t kCoinLength = 2880 + 16800;

// laser.mv: a square whose period grows by 0.02 a sample from 40, fading out over 12000 samples.
float LaserSample(int64_t& phase, float& period, int32_t position, FADE& fade) {
    if (position == 0) {
        fade = FadeOut(1.0f, 12000);
        period = 40.0f;
    } else {
        period = period + 0.02f;
    }
    fade.Advance();
    return Square(phase, static_cast<int64_t>(period)) * fade.volume;
}
constexpr int32_t kLaserLength = 12000;

// explosion.mv: noise17e whose period grows by 0.0004 a sample from 2, fading out over 57600.
float ExplosionSample(NOISE_TONE& tone, float& period, int32_t position, FADE& fade) {
    if (position == 0) {
        fade = FadeOut(1.0f, 57600);
        period = 2.0f;
    } else {
        period = period + 0.0004f;
    }
    fade.Advance();
    return tone.Noise17e(static_cast<int64_t>(period)) * fade.volume;
}
constexpr int32_t kExplosionLength = 57600;

// ---- Examples as N voices ----

struct COIN {
    struct VOICE : RELEASABLE {
        int64_t phase = 0;
        int32_t position = 0;
        FADE fade;
    };
    int64_t low = NotePeriod(kB5);
    int64_t high = NotePeriod(kE6);
    VOICE Start(const SOUND_EVENT&, int32_t number) {
        VOICE voice;
        voice.startNumber = number;
        return voice;
    }
    bool Next(VOICE& voice, float& sample) {
        if (voice.position == kCoinLength) return false;
        sample = CoinSample(voice.phase, voice.position++, voice.fade, low, high);
        return true;
    }
};

struct LASER {
    struct VOICE : RELEASABLE {
        int64_t phase = 0;
        float period = 0.0f;
        int32_t position = 0;
        FADE fade;
    };
    VOICE Start(const SOUND_EVENT&, int32_t number) {
        VOICE voice;
        voice.startNumber = number;
        return voice;
    }
    bool Next(VOICE& voice, float& sample) {
        if (voice.position == kLaserLength) return false;
        sample = LaserSample(voice.phase, voice.period, voice.position++, voice.fade);
        return true;
    }
};

struct EXPLOSION {
    struct VOICE : RELEASABLE {
        NOISE_TONE tone;
        float period = 0.0f;
        int32_t position = 0;
        FADE fade;
    };
    VOICE Start(const SOUND_EVENT&, int32_t number) {
        VOICE voice;
        voice.startNumber = number;
        return voice;
    }
    bool Next(VOICE& voice, float& sample) {
        if (voice.position == kExplosionLength) return false;
        sample = ExplosionSample(voice.tone, voice.period, voice.position++, voice.fade);
        return true;
    }
};

struct TUNE {
    struct VOICE : RELEASABLE {
        NOTE_PLAYER player;
    };
    std::array<int64_t, kTune.size()> periods = PeriodsOf(kTune);
    VOICE Start(const SOUND_EVENT&, int32_t number) {
        VOICE voice;
        voice.startNumber = number;
        return voice;
    }
    bool Next(VOICE& voice, float& sample) {
        return NextFadedNote(voice.player, kTune.data(), periods.data(), static_cast<int32_t>(kTune.size()), false, 0.7f,
                             sample);
    }
};

struct BEAT_VOICES {
    struct VOICE : RELEASABLE {
        BEAT beat;
        int32_t played = 0;
    };
    VOICE Start(const SOUND_EVENT&, int32_t number) {
        VOICE voice;
        voice.startNumber = number;
        return voice;
    }
    bool Next(VOICE& voice, float& sample) {
        if (voice.played == kBar) return false;
        ++voice.played;
        sample = voice.beat.Next();
        return true;
    }
};

// arpeggio.mv: four chords of three 3360-sample tones, round and round for two seconds under a
// two-second fade-out.
constexpr std::array<int, 12> kArpeggio = {kC4, kE4, kG4, kA3, kC4, kE4, kF3, kA3, kC4, kG3, kB3, kD4};
constexpr int32_t kArpeggioTone = 3360;
constexpr int32_t kArpeggioLength = 96000;

struct ARPEGGIO {
    struct VOICE : RELEASABLE {
        int64_t phase = 0;
        int32_t position = 0;
        int32_t toneLeft = kArpeggioTone;
        int32_t tone = 0;
        FADE fade = FadeOut(1.0f, kArpeggioLength);
    };
    std::array<int64_t, kArpeggio.size()> periods{};
    ARPEGGIO() {
        for (size_t i = 0; i < periods.size(); ++i) periods[i] = NotePeriod(kArpeggio[i]);
    }
    VOICE Start(const SOUND_EVENT&, int32_t number) {
        VOICE voice;
        voice.startNumber = number;
        return voice;
    }
    bool Next(VOICE& voice, float& sample) {
        if (voice.position == kArpeggioLength) return false;
        ++voice.position;
        const float value = Square(voice.phase, periods[static_cast<size_t>(voice.tone)]);
        if (--voice.toneLeft == 0) {
            voice.toneLeft = kArpeggioTone;
            voice.tone = voice.tone + 1 == static_cast<int32_t>(kArpeggio.size()) ? 0 : voice.tone + 1;
        }
        voice.fade.Advance();
        sample = value * voice.fade.volume;
        return true;
    }
};

// keyboard.mv's key, started by MIDI notes: a square at the note's period at the velocity's
// volume until the note-off, then 9600 samples on the same oscillator fading out.
constexpr int32_t kKeyRelease = 9600;

struct KEYBOARD {
    struct VOICE : RELEASABLE {
        int64_t phase = 0;
        int64_t period = 0;
        int32_t tail = 0;
        FADE fade;
    };
    VOICE Start(const SOUND_EVENT& event, int32_t number) {
        VOICE voice;
        voice.startNumber = number;
        voice.note = event.note;
        voice.period = NotePeriod(event.note);
        const float velocity = static_cast<float>(event.velocity / 127.0);
        voice.fade = {velocity, velocity, 0.0f};
        return voice;
    }
    bool Next(VOICE& voice, float& sample) {
        if (!voice.released) {
            sample = Square(voice.phase, voice.period) * voice.fade.volume;
            return true;
        }
        if (voice.tail == kKeyRelease) return false;
        if (voice.tail++ == 0) voice.fade = FadeOut(voice.fade.volume, kKeyRelease);
        const float value = Square(voice.phase, voice.period);
        voice.fade.Advance();
        sample = value * voice.fade.volume;
        return true;
    }
};

// pad.mv: a saw swelling in over 14400 samples until released, then 28800 samples fading out.
constexpr int32_t kPadRelease = 28800;

struct PAD {
    struct VOICE : RELEASABLE {
        int64_t phase = 0;
        int64_t period = 0;
        int32_t tail = 0;
        FADE fade = FadeIn(0.0f, 14400);
    };
    VOICE Start(const SOUND_EVENT& event, int32_t number) {
        VOICE voice;
        voice.startNumber = number;
        voice.period = NotePeriod(static_cast<int>(event.argument));
        return voice;
    }
    bool Next(VOICE& voice, float& sample) {
        if (!voice.released) {
            voice.fade.Advance();
            sample = Saw(voice.phase, voice.period) * voice.fade.volume;
            return true;
        }
        if (voice.tail == kPadRelease) return false;
        if (voice.tail++ == 0) voice.fade = FadeOut(voice.fade.volume, kPadRelease);
        const float value = Saw(voice.phase, voice.period);
        voice.fade.Advance();
        sample = value * voice.fade.volume;
        return true;
    }
};

// siren.mv: the period 60 + 12 sin2pi(t), with t rising by 2/48000 a sample, for two seconds.
constexpr int32_t kSirenLength = 96000;

struct SIREN {
    struct VOICE : RELEASABLE {
        int64_t phase = 0;
        float turns = 0.0f;
        int32_t position = 0;
    };
    VOICE Start(const SOUND_EVENT&, int32_t number) {
        VOICE voice;
        voice.startNumber = number;
        return voice;
    }
    bool Next(VOICE& voice, float& sample) {
        if (voice.position == kSirenLength) return false;
        if (voice.position++ > 0) voice.turns = voice.turns + 2.0f / 48000.0f;
        const float period = 60.0f + 12.0f * Sine2Pi(voice.turns);
        sample = Square(voice.phase, static_cast<int64_t>(period));
        return true;
    }
};

template <typename SOUND>
std::unique_ptr<CReferenceLoop> Loop(uint8_t) {
    return MakeLoop(SOUND());
}

SOUND_PLAN CoinPlan(int voices) { return ExamplePlan("coin", voices, "coin", kCoinLength); }
SOUND_PLAN LaserPlan(int voices) { return ExamplePlan("laser", voices, "laser", kLaserLength); }
SOUND_PLAN ExplosionPlan(int voices) { return ExamplePlan("explosion", voices, "explosion", kExplosionLength); }
SOUND_PLAN TunePlan(int voices) { return ExamplePlan("melody", voices, "tune", kTuneLength); }
SOUND_PLAN BeatPlan(int voices) { return ExamplePlan("drums", voices, "beat", kBar); }
SOUND_PLAN ArpeggioPlan(int voices) { return ExamplePlan("arpeggio", voices, "arp", kArpeggioLength); }
SOUND_PLAN SirenPlan(int voices) { return ExamplePlan("siren", voices, "siren", kSirenLength); }

// Keys C3 to C6 with varied velocities; in the middle of the measured stretch every even key is
// let go, one note-off every 8 samples, and those voices play their release.
int KeyOf(int voice) { return kC3 + (voice * 5) % 37; }

SOUND_PLAN KeyboardPlan(int voices) {
    SOUND_PLAN plan;
    plan.script = ExampleScript("keyboard");
    StartOnePerSample(plan, voices, [](int i) {
        SOUND_EVENT event;
        event.kind = EVENT_KIND::kNoteOn;
        event.note = KeyOf(i);
        event.velocity = 30 + (i * 11) % 98;
        return event;
    });
    plan.length = MeasuredLength(voices, plan.warmup, 0);
    int64_t at = plan.warmup + plan.length / 2;
    for (int note = kC3; note <= kC3 + 36; note += 2, at += 8) {
        SOUND_EVENT event;
        event.at = at;
        event.kind = EVENT_KIND::kNoteOff;
        event.note = note;
        plan.events.push_back(event);
    }
    return plan;
}

// Pads on the notes c3 to b4; in the middle of the measured stretch every other voice is
// released, 32 releases every 8 samples.
constexpr std::array<const char*, 14> kPadNames = {"c3", "d3", "e3", "f3", "g3", "a3", "b3",
                                                   "c4", "d4", "e4", "f4", "g4", "a4", "b4"};
constexpr std::array<int, 14> kPadNotes = {48, 50, 52, 53, 55, 57, 59, 60, 62, 64, 65, 67, 69, 71};

SOUND_PLAN PadPlan(int voices) {
    SOUND_PLAN plan;
    plan.script = ExampleScript("pad");
    StartOnePerSample(plan, voices, [](int i) {
        SOUND_EVENT event;
        event.text = std::string("pad:") + kPadNames[static_cast<size_t>(i) % kPadNames.size()];
        event.argument = static_cast<float>(kPadNotes[static_cast<size_t>(i) % kPadNotes.size()]);
        return event;
    });
    plan.length = MeasuredLength(voices, plan.warmup, 0);
    const int64_t first = plan.warmup + plan.length / 2;
    for (int i = 0; i < voices; i += 2) {
        SOUND_EVENT event;
        event.at = first + (i / 64) * 8;
        event.kind = EVENT_KIND::kRelease;
        event.target = i;
        plan.events.push_back(event);
    }
    return plan;
}

// ---- The game mix ----

// A drum loop, a looping melody with a fade per note, and 4.5 N one-shots (a coin, a laser, a
// noise explosion, a falling jump, in turn) started at block boundaries over one second.
enum MIX_SOUND : int32_t { kDrumLoop, kMixMelody, kMixCoin, kMixLaser, kMixExplosion, kMixJump };

constexpr const char* kMixBoxes =
    "drumloop = { @loop beat }\n"
    "loopmelody = { vol(0.7) @loop note:6000:e5 d5 c5 d5 e5 e5 12000:e5 }\n"
    "jump = dur(~0.3) { fadeout(~0.3) %p = 100 @loop saw(%p) %p = %p + 0.005 }\n";
constexpr int32_t kJumpLength = 14400;

SOUND_PLAN GameMixPlan(int voices) {
    SOUND_PLAN plan;
    plan.script = ExampleScript("drums") + ExampleScript("melody") + ExampleScript("coin") + ExampleScript("laser") +
                  ExampleScript("explosion") + kMixBoxes;
    auto start = [&plan](int64_t at, const char* text, MIX_SOUND sound) {
        SOUND_EVENT event;
        event.at = at;
        event.text = text;
        event.sound = sound;
        plan.events.push_back(event);
    };
    start(0, "drumloop", kDrumLoop);
    start(0, "loopmelody", kMixMelody);
    const int oneShots = voices * 9 / 2;
    const int blocks = kSoundRate / kSoundBlock;  // block boundaries within the second
    static constexpr std::array<const char*, 4> kNames = {"coin", "laser", "explosion", "jump"};
    for (int j = 0; j < oneShots; ++j) {
        const int64_t at = static_cast<int64_t>(j) * blocks / oneShots * kSoundBlock;
        start(at, kNames[static_cast<size_t>(j % 4)], static_cast<MIX_SOUND>(kMixCoin + j % 4));
    }
    plan.warmup = 0;
    plan.length = kSoundRate;
    return plan;
}

struct GAME_MIX {
    struct VOICE : RELEASABLE {
        MIX_SOUND sound = kDrumLoop;
        int32_t position = 0;
        int64_t phase = 0;
        float period = 0.0f;
        FADE fade;
        NOISE_TONE tone;
        NOTE_PLAYER melody;
        BEAT beat;
    };
    std::array<int64_t, kLoopMelody.size()> melodyPeriods = PeriodsOf(kLoopMelody);
    int64_t coinLow = NotePeriod(kB5);
    int64_t coinHigh = NotePeriod(kE6);

    VOICE Start(const SOUND_EVENT& event, int32_t number) {
        VOICE voice;
        voice.startNumber = number;
        voice.sound = static_cast<MIX_SOUND>(event.sound);
        return voice;
    }
    bool Next(VOICE& voice, float& sample) {
        switch (voice.sound) {
            case kDrumLoop:
                sample = voice.beat.Next();
                return true;
            case kMixMelody:
                return NextFadedNote(voice.melody, kLoopMelody.data(), melodyPeriods.data(),
                                     static_cast<int32_t>(kLoopMelody.size()), true, 0.7f, sample);
            case kMixCoin:
                if (voice.position == kCoinLength) return false;
                sample = CoinSample(voice.phase, voice.position++, voice.fade, coinLow, coinHigh);
                return true;
            case kMixLaser:
                if (voice.position == kLaserLength) return false;
                sample = LaserSample(voice.phase, voice.period, voice.position++, voice.fade);
                return true;
            case kMixExplosion:
                if (voice.position == kExplosionLength) return false;
                sample = ExplosionSample(voice.tone, voice.period, voice.position++, voice.fade);
                return true;
            case kMixJump:
                // A saw whose period grows by 0.005 a sample from 100, fading out over 14400.
                if (voice.position == kJumpLength) return false;
                if (voice.position++ == 0) {
                    voice.fade = FadeOut(1.0f, kJumpLength);
                    voice.period = 100.0f;
                } else {
                    voice.period = voice.period + 0.005f;
                }
                voice.fade.Advance();
                sample = Saw(voice.phase, static_cast<int64_t>(voice.period)) * voice.fade.volume;
                return true;
        }
        return false;
    }
};

}  // namespace

void AddExampleWorkloads(std::vector<SOUND_WORKLOAD>& workloads) {
    workloads.push_back({"Coin", "coin.mv", CoinPlan, Loop<COIN>, true});
    workloads.push_back({"Laser", "laser.mv", LaserPlan, Loop<LASER>, true});
    workloads.push_back({"Explosion", "explosion.mv (noise17e)", ExplosionPlan, Loop<EXPLOSION>, true});
    workloads.push_back({"Tune", "melody.mv's tune", TunePlan, Loop<TUNE>, true});
    workloads.push_back({"Beat", "drums.mv's beat", BeatPlan, Loop<BEAT_VOICES>, true});
    workloads.push_back({"Arpeggio", "arpeggio.mv", ArpeggioPlan, Loop<ARPEGGIO>, true});
    workloads.push_back({"Keyboard", "keyboard.mv by MIDI notes, half released", KeyboardPlan, Loop<KEYBOARD>, true});
    workloads.push_back({"Pad", "pad.mv (pad:c3 ...), half released", PadPlan, Loop<PAD>, true});
    workloads.push_back({"Siren", "siren.mv", SirenPlan, Loop<SIREN>, true});
    workloads.push_back({"GameMix", "game mix: drum loop, looping melody, 4.5 N one-shots over 1 s", GameMixPlan,
                         Loop<GAME_MIX>, true});
}

}  // namespace morvanel::bench
