// Voice-by-voice rendering. Voices whose play stays within themselves (see play_facts.h) run over
// a stretch of samples one after another, which keeps each voice's state in cache and lets steady
// parts run as tight loops (chain runs, see chain_run.h); the others go sample by sample among
// themselves first, into rows of their own, so that they draw random numbers, make instances and
// post commands in the order the sample-by-sample path would, while the runs between those
// moments still render ahead. The mix then adds every voice into each output sample in start
// order, so the result is the sample-by-sample path's, bit for bit.
#include <algorithm>
#include <cstdlib>

#include "runtime/chain_run.h"
#include "runtime/play_facts.h"
#include "runtime/player.h"

namespace morvanel {

namespace {

// The longest wait, in samples, between a voice's attempts to plan a run.
constexpr uint8_t kMaxPlanDelay = 31;

// Whether to try planning a run for the voice now.
bool TimeToPlan(CVoice& voice) {
    if (voice.planWait == 0) return true;
    --voice.planWait;
    return false;
}

void NotePlan(CVoice& voice, int planned) {
    if (planned > 0) {
        voice.planDelay = 0;
        return;
    }
    voice.planDelay = static_cast<uint8_t>(std::min<int>(voice.planDelay * 2 + 1, kMaxPlanDelay));
    voice.planWait = voice.planDelay;
}

}  // namespace

int CPlayer::PlanRunOf(CVoice& voice, int count, bool drawing) {
    if (!TimeToPlan(voice)) return 0;
    const int planned = MayRun(voice) ? PlanVoiceRun(voice, count, drawing, *run) : 0;
    NotePlan(voice, planned);
    return planned;
}

int CPlayer::RenderRunOf(CVoice& voice, float* out, int count) {
    const int planned = PlanRunOf(voice, count, false);
    if (planned > 0) RenderVoiceRun(voice, *run, out, planned, nullptr, run->branchCount, false);
    return planned;
}

void CPlayer::ClassifyVoice(CVoice& voice) {
    const uint32_t generation = program.boxes.Generation();
    if (voice.classGeneration == generation) return;
    const PLAY_FACTS facts = FactsOfBox(*voice.rootBox, program.boxes);
    voice.classGeneration = generation;
    voice.playsAlone = facts.independent;
    voice.disturbsOthers = facts.reachesEngine || facts.height > kMaxPlayHeight;
}

bool CPlayer::CanRenderVoiceByVoice() {
    // A redefinition waiting for its box would take over in the middle of a stretch, at a moment
    // that depends on the order voices are rendered in.
    if (program.boxes.PendingCount() > 0) return false;
    for (CVoice* voice : voices) {
        if (voice->stopped) continue;
        ClassifyVoice(*voice);
        if (!voice->playsAlone && voice->disturbsOthers) return false;
    }
    return true;
}

void CPlayer::RenderDependentRows(int length) {
    dependents.clear();
    for (CVoice* voice : voices) {
        if (voice->stopped || voice->playsAlone) continue;
        voice->row = static_cast<int32_t>(dependents.size());
        voice->rowEnd = length;
        dependents.push_back(DEPENDENT_ROW{voice, 0, 0, 0, 0, false, 0});
    }
    if (dependents.empty()) return;
    const size_t needed = dependents.size() * static_cast<size_t>(length);
    if (dependentRows.size() < needed) dependentRows.resize(needed);  // past the most seen so far
    std::fill(dependentRows.begin(), dependentRows.begin() + static_cast<std::ptrdiff_t>(needed), 0.0f);
    size_t stashed = 0;
    // A drawing run's random numbers for sample i, drawn in the voice's turn; the run renders once
    // all of them are drawn.
    const auto drawTurn = [this, length](DEPENDENT_ROW& row, int i) {
        int32_t* stash = drawStash.data() + row.stashAt + static_cast<size_t>(i - row.runStart) * static_cast<size_t>(row.draws);
        for (int32_t k = 0; k < row.draws; ++k) stash[k] = std::rand();
        if (i + 1 < row.runEnd) return;
        CVoice& voice = *row.voice;
        float* const samples = dependentRows.data() + static_cast<size_t>(voice.row) * static_cast<size_t>(length);
        const int runLength = row.runEnd - row.runStart;
        // The same bodies as planned: nothing they read has changed.
        PlanVoiceRun(voice, runLength, true, *run, row.lateBranch);
        RenderVoiceRun(voice, *run, samples + row.runStart, runLength, drawStash.data() + row.stashAt, run->branchCount,
                       true);
    };
    for (int i = 0; i < length; ++i) {
        for (DEPENDENT_ROW& row : dependents) {
            if (row.runEnd > i || row.ended) {
                if (row.draws > 0 && !row.ended) drawTurn(row, i);
                continue;
            }
            CVoice& voice = *row.voice;
            float* const samples = dependentRows.data() + static_cast<size_t>(voice.row) * static_cast<size_t>(length);
            // Runs that draw nothing render at once: nothing another voice does meanwhile can
            // reach them, and what could reach another voice (draws, calls, commands, output)
            // only the interpreter does, still in sample order.
            const int planned = PlanRunOf(voice, length - i, true);
            if (planned > 0) {
                row.runStart = i;
                row.runEnd = i + planned;
                row.draws = run->draws;
                // The bodies before the first that draws render now, while their records are at
                // hand; the row sums the voice alone, so the later bodies add on in body order.
                row.lateBranch = run->firstDrawing;
                RenderVoiceRun(voice, *run, samples + i, planned, nullptr, row.lateBranch, true);
                if (row.draws == 0) continue;
                row.stashAt = stashed;
                stashed += static_cast<size_t>(planned) * static_cast<size_t>(row.draws);
                if (drawStash.size() < stashed) drawStash.resize(stashed);  // past the most seen so far
                drawTurn(row, i);
                continue;
            }
            if (!RenderVoiceSample(voice, samples[i])) {
                voice.rowEnd = i;
                row.ended = true;
            }
        }
    }
}

void CPlayer::RenderStretch(float* out, int length) {
    RenderDependentRows(length);
    std::fill(out, out + length, 0.0f);
    size_t kept = 0;
    for (size_t index = 0; index < voices.size(); ++index) {
        CVoice* voice = voices[index];
        bool keep = !voice->stopped;
        if (keep && voice->playsAlone) {
            int done = RenderRunOf(*voice, out, length);
            while (done < length) {
                float sample = 0.0f;
                if (!RenderVoiceSample(*voice, sample)) {
                    keep = false;
                    break;
                }
                out[done++] += sample;
                // A call, an attack part or a fade may have just led into a run.
                done += RenderRunOf(*voice, out + done, length - done);
            }
        } else if (keep) {
            const float* row = dependentRows.data() + static_cast<size_t>(voice->row) * static_cast<size_t>(length);
            for (int i = 0; i < voice->rowEnd; ++i) out[i] += row[i];
            keep = voice->rowEnd == length;
        }
        if (keep) {
            voices[kept++] = voice;
        } else {
            DropVoice(voice);
        }
    }
    voices.resize(kept);
    for (int i = 0; i < length; ++i) out[i] = MixDown(out[i]);
    voiceMajorSamples += length;
}

}  // namespace morvanel
