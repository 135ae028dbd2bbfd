// Start texts and call arguments: both are box headers whose ':' parameters push values, read
// here once for the voice starts that hosts and scripts post and for the calls a body makes.
#pragma once

#include <string>

#include "program/start_request.h"

namespace morvanel {

// What one ':' parameter pushes: a number, a '%' variable or a note. Identifiers, and anything
// else, push nothing (false).
bool ReadArgument(const std::string& parameter, START_ARGUMENT& argument);

// Any thread; allocates while it reads. Reads `text` as a box header (name, ':' arguments,
// options; the header's diagnostics go to standard output unless `quiet`) and keeps the name and
// the arguments that push a value, stopping at the first error as a header does. A name too long
// for the request names no box.
START_REQUEST ParseStartText(const char* text, bool quiet);

// The request every spawn item posts (its text names no box), read once, when first asked: the
// compiler asks when it compiles a spawn, so the audio thread finds it ready.
const START_REQUEST& SpawnStartRequest();

}  // namespace morvanel
