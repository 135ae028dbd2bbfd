// Warnings about scripts that compile but do not do what they look like: runs and calls of boxes
// that do not exist, wrong argument counts, names that read as 0, loops that make no samples,
// calls nested past the engine's limit. The library is not asked to change; the linter reads the
// outline and plays boxes in scratch instances.
#pragma once

#include <string>
#include <vector>

#include "session.h"

namespace morvanel::tool {

// The engine plays calls this many levels below a voice's box; one more stops all its sound.
constexpr int kDeepestCall = 11;
// The longest start text a voice start, a run command or a MIDI key can carry.
constexpr size_t kMaxStartText = 31;

// Warnings for a script that compiled. Plays its outermost boxes briefly with the library's output
// captured through `routing`.
std::vector<Diagnostic> LintScript(const SCRIPT_OUTLINE& outline, int sampleRate, OutputRouting& routing);

// Whether a box's first body loops with nothing but a release to end it.
bool LoopsUntilReleased(const SCRIPT_OUTLINE& outline, int box);

// "'tone' takes 2 arguments (%l:%p) but this call gives 1: ..." or "" when the counts agree.
std::string ArgumentCountProblem(const OUTLINE_BOX& box, int given, const char* what);

}  // namespace morvanel::tool
