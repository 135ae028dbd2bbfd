/* Renders a script through the shared library the way the web module's wrapper drives the engine,
 * and writes the samples as raw little-endian 32-bit floats: the reference that the module's tests
 * compare against. The call sequence is the wrapper's: parse, one sample (the parse runs there),
 * the voice starts, then the rest of the samples in one call.
 *
 *   morvanel_web_reference [--seed N] SCRIPT SAMPLES OUT [START_TEXT ...]
 *
 * --seed reseeds the C random generator after the engine seeded it from the clock, so renders of
 * scripts that draw random numbers repeat; the tests render twice with different seeds to learn
 * which scripts do. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "morvanel.h"

enum { kSampleRate = 48000, kMaxSamples = 48000 * 600 };

static char* ReadFile(const char* path) {
    FILE* file = fopen(path, "rb");
    char* text = NULL;
    long size;
    if (file == NULL) return NULL;
    if (fseek(file, 0, SEEK_END) == 0 && (size = ftell(file)) >= 0 && fseek(file, 0, SEEK_SET) == 0) {
        text = malloc((size_t)size + 1);
        if (text != NULL && fread(text, 1, (size_t)size, file) == (size_t)size) {
            text[size] = '\0';
        } else {
            free(text);
            text = NULL;
        }
    }
    fclose(file);
    return text;
}

static int Usage(void) {
    fprintf(stderr, "usage: morvanel_web_reference [--seed N] SCRIPT SAMPLES OUT [START_TEXT ...]\n");
    return 2;
}

int main(int argc, char** argv) {
    int first = 1;
    int seeded = 0;
    unsigned seed = 0;
    if (argc > 2 && strcmp(argv[1], "--seed") == 0) {
        seed = (unsigned)strtoul(argv[2], NULL, 10);
        seeded = 1;
        first = 3;
    }
    if (argc - first < 3) return Usage();

    const char* scriptPath = argv[first];
    const long count = strtol(argv[first + 1], NULL, 10);
    const char* outPath = argv[first + 2];
    if (count < 1 || count > kMaxSamples) {
        fprintf(stderr, "SAMPLES must be 1 to %d\n", kMaxSamples);
        return 2;
    }
    char* script = ReadFile(scriptPath);
    if (script == NULL) {
        fprintf(stderr, "cannot read %s\n", scriptPath);
        return 1;
    }
    float* samples = calloc((size_t)count, sizeof(float));
    if (samples == NULL) {
        fprintf(stderr, "out of memory\n");
        return 1;
    }

    const int id = NewInstance(kSampleRate);
    if (seeded) srand(seed);
    const int serial = ParseString(script, id);
    GetBuffer(1, samples, id);
    const char* log = GetResponseString(serial, id);
    if (strstr(log, "Compilation successful") == NULL) {
        fprintf(stderr, "%s does not compile:\n%s", scriptPath, log);
        return 1;
    }
    GetResponseString(-1, id); /* drops the box report and MIDI key notices, as the wrapper does */
    for (int i = first + 3; i < argc; ++i) {
        if (StartVoice(argv[i], id) == 0) {
            fprintf(stderr, "cannot start '%s'\n", argv[i]);
            return 1;
        }
    }
    if (count > 1) GetBuffer((int)(count - 1), samples + 1, id);
    DestroyInstance(id);

    FILE* out = fopen(outPath, "wb");
    if (out == NULL || fwrite(samples, sizeof(float), (size_t)count, out) != (size_t)count || fclose(out) != 0) {
        fprintf(stderr, "cannot write %s\n", outPath);
        return 1;
    }
    free(samples);
    free(script);
    return 0;
}
