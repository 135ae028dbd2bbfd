// MORVANEL_ALWAYS_INLINE: for the few per-sample steps that must sit inside the loop that calls
// them, where the compiler's own weighing would keep a call per sample.
#pragma once

#if defined(__GNUC__)
#define MORVANEL_ALWAYS_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define MORVANEL_ALWAYS_INLINE __forceinline
#else
#define MORVANEL_ALWAYS_INLINE inline
#endif
