// The shared library's own translation unit: the exports come from the engine archive, linked
// whole; loading the library needs nothing beyond the runtime's default initialisation.
#include "morvanel.h"
