/* Loaded with LD_PRELOAD by the tool's tests: makes the ALSA device named "busy" answer as a sound
 * card that another program holds (EBUSY), as the kernel would, either from the start or once
 * MORVANEL_BUSY_AFTER opens have succeeded (PortAudio opens each device to list it). Every other
 * device opens as usual. */
#define _GNU_SOURCE
#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

__attribute__((visibility("default"))) int snd_pcm_open(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream, int mode) {
    typedef int (*OPEN)(snd_pcm_t**, const char*, snd_pcm_stream_t, int);
    static OPEN real;
    static int opens;
    if (real == NULL) real = (OPEN)dlsym(RTLD_NEXT, "snd_pcm_open");
    if (name != NULL && strcmp(name, "busy") == 0) {
        const char* after = getenv("MORVANEL_BUSY_AFTER");
        if (++opens > (after != NULL ? atoi(after) : 0)) return -EBUSY;
    }
    return real(pcm, name, stream, mode);
}
