// Voice-by-voice rendering: when no playing voice can observe another within a buffer, each voice
// runs over the rest of the buffer on its own, which keeps its state in cache and lets steady
// tones run as tight loops. Every output sample is bit-identical to rendering sample by sample.
#pragma once

namespace morvanel {

class CEngine;
class CSequence;
class CVoice;

// Whether running `sequence` can neither affect another voice nor be affected by one: no random
// draws, noise registers, prints, spawns, argument pushes or calls, and no writes to engine
// variables. Computed once: a compiled sequence never changes its items.
bool SequenceIsIndependent(CSequence& sequence);

// Whether every sequence of the voice's root box is independent (the root box makes no calls,
// so these are all the sequences the voice will ever run).
bool VoiceIsIndependent(const CVoice& voice);

// Audio thread. Renders samples [first, count) of `out` voice by voice. Only valid when every
// voice in the list is independent, the engine is not halted and no command is waiting.
void RenderVoiceMajor(CEngine& engine, int first, int count, float* out);

}  // namespace morvanel
