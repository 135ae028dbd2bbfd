/* A minimal host in C11: create an instance, compile a beep, start it, pull samples. */
#include <stdio.h>
#include <string.h>

#include "morvanel.h"

static int fail(const char* what) {
    fprintf(stderr, "c_host: %s\n", what);
    return 1;
}

int main(void) {
    float buffer[256];
    int instance;
    int serial;
    int voice;
    int i;
    float peak = 0.0f;
    const char* log;

    if (AmIAlive() != 42) return fail("AmIAlive did not answer 42");
    instance = NewInstance(48000);
    if (instance < 16) return fail("NewInstance returned an unexpected id");

    serial = ParseString("beep = { sqr(@440) sqr(@440) sqr(@440) sqr(@440) }", instance);
    if (serial == 0) return fail("ParseString was refused");
    if (GetBuffer(1, buffer, instance) != 1) return fail("GetBuffer(1) did not return 1");
    log = GetResponseString(serial, instance);
    if (strstr(log, "Compilation successful. Parsed 1 boxes and 0 commands.") == NULL) return fail(log);

    voice = StartVoice("beep", instance);
    if (voice == 0) return fail("StartVoice was refused");
    if (GetBuffer(256, buffer, instance) != 256) return fail("GetBuffer(256) did not return 256");
    for (i = 0; i < 256; ++i) {
        float magnitude = buffer[i] < 0.0f ? -buffer[i] : buffer[i];
        if (magnitude > peak) peak = magnitude;
    }
    if (peak != 0.1f) return fail("the beep did not peak at 0.1");
    if (GetBuffer(4, buffer, 9999) != 0) return fail("a missing instance rendered");

    DestroyInstance(instance);
    if (GetBuffer(4, buffer, instance) != 0) return fail("a destroyed instance rendered");
    printf("c_host: ok\n");
    return 0;
}
