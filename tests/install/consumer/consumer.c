/* A C program built against an installed Morvanel: it includes <morvanel.h> through the include
 * path the package gives, links the installed library, checks that the header's version is the
 * package's, and plays a short sound. */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <morvanel.h>

#ifndef EXPECTED_VERSION
#error "build with -DEXPECTED_VERSION=\"x.y.z\", the version the package reported"
#endif

int main(void) {
    char numbers[32];
    float buffer[512];
    float peak = 0.0f;
    int id;
    int serial;
    int blocks = 0;

    snprintf(numbers, sizeof numbers, "%d.%d.%d", MORVANEL_VERSION_MAJOR, MORVANEL_VERSION_MINOR, MORVANEL_VERSION_PATCH);
    if (strcmp(MORVANEL_VERSION, EXPECTED_VERSION) != 0 || strcmp(numbers, EXPECTED_VERSION) != 0) {
        fprintf(stderr, "consumer.c: header version %s (%s), package version %s\n", MORVANEL_VERSION, numbers, EXPECTED_VERSION);
        return 1;
    }
    if (AmIAlive() != 42) {
        fprintf(stderr, "consumer.c: AmIAlive did not answer 42\n");
        return 1;
    }

    id = NewInstance(48000);
    serial = ParseString("zap = dur(~0.02) { fadeout(~0.02) @loop sqr(@880) }", id);
    GetBuffer(1, buffer, id);
    if (strstr(GetResponseString(serial, id), "Compilation successful") == NULL) {
        fprintf(stderr, "consumer.c: the script did not compile\n");
        return 1;
    }
    StartVoice("zap", id);
    do {
        int i;
        GetBuffer(512, buffer, id);
        for (i = 0; i < 512; ++i) peak = fmaxf(peak, fabsf(buffer[i]));
    } while (MorvanelActiveVoices(id) > 0 && ++blocks < 100);
    DestroyInstance(id);

    if (peak < 0.09f || blocks >= 100) {
        fprintf(stderr, "consumer.c: peak %.3f after %d blocks\n", (double)peak, blocks);
        return 1;
    }
    printf("consumer.c: Morvanel %s, peak %.2f\n", MORVANEL_VERSION, (double)peak);
    return 0;
}
