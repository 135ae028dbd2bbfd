/* The WebAssembly module's own translation unit: the exports come from the engine archive, named
 * at link time; the module needs nothing beyond the C runtime's default initialisation. */
#include "morvanel.h"
