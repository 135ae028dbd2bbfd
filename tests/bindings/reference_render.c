/* Renders a case of cases.txt straight through the C API, as the README's host does, and writes
 * the samples to OUTPUT as native 32-bit floats: the reference the bindings' renders are compared
 * with. Usage: reference_render OUTPUT RATE ACTION... (see cases.txt for the actions). Not to
 * standard output: the engine prints its diagnostics there. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "morvanel.h"

enum { kMaxVoices = 64 };

static int Fail(const char* what, const char* detail) {
    fprintf(stderr, "reference_render: %s%s\n", what, detail);
    return 2;
}

static char* ReadFile(const char* path) {
    FILE* file = fopen(path, "rb");
    char* text;
    long size;
    if (file == NULL) return NULL;
    fseek(file, 0, SEEK_END);
    size = ftell(file);
    fseek(file, 0, SEEK_SET);
    text = malloc((size_t)size + 1);
    if (text != NULL && fread(text, 1, (size_t)size, file) == (size_t)size) {
        text[size] = '\0';
    } else {
        free(text);
        text = NULL;
    }
    fclose(file);
    return text;
}

int main(int argc, char** argv) {
    int voices[kMaxVoices];
    int voiceCount = 0;
    int id;
    int i;
    FILE* output;
    if (argc < 3) return Fail("usage: reference_render OUTPUT RATE ACTION...", "");
    output = fopen(argv[1], "wb");
    if (output == NULL) return Fail("cannot write ", argv[1]);
    id = NewInstance(atoi(argv[2]));
    for (i = 3; i < argc; ++i) {
        const char* action = argv[i];
        const char* value = strchr(action, '=');
        value = value != NULL ? value + 1 : "";
        if (strncmp(action, "parse=", 6) == 0) {
            char* script = ReadFile(value);
            float dropped;
            int serial;
            if (script == NULL) return Fail("cannot read ", value);
            serial = ParseString(script, id);
            free(script);
            GetBuffer(1, &dropped, id); /* the script compiles at this sample */
            if (strstr(GetResponseString(serial, id), "Compilation successful") == NULL) return Fail("does not compile: ", value);
        } else if (strncmp(action, "start=", 6) == 0) {
            if (voiceCount == kMaxVoices) return Fail("too many voices", "");
            voices[voiceCount++] = StartVoice(value, id);
        } else if (strncmp(action, "release=", 8) == 0 || strncmp(action, "stop=", 5) == 0) {
            int which = atoi(value);
            if (which < 1 || which > voiceCount) return Fail("no such voice: ", action);
            if (action[0] == 'r') {
                ReleaseVoice(voices[which - 1], id);
            } else {
                StopVoice(voices[which - 1], id);
            }
        } else if (strcmp(action, "stopall") == 0) {
            StopAllVoices(id);
        } else if (strcmp(action, "reset") == 0) {
            ResetEngine(id);
        } else if (strncmp(action, "note_on=", 8) == 0) {
            int note = 0;
            int velocity = 0;
            if (sscanf(value, "%d,%d", &note, &velocity) != 2) return Fail("bad note_on: ", action);
            MidiNoteOn(note, velocity, id);
        } else if (strncmp(action, "note_off=", 9) == 0) {
            MidiNoteOff(atoi(value), id);
        } else if (strncmp(action, "set=", 4) == 0) {
            char name[8] = {0};
            float number = 0.0f;
            if (sscanf(value, "%7[^,],%f", name, &number) != 2) return Fail("bad set: ", action);
            SetVariable(name, number, id);
        } else if (strncmp(action, "render=", 7) == 0) {
            int count = atoi(value);
            float* samples = malloc(sizeof(float) * (size_t)(count > 0 ? count : 1));
            if (samples == NULL) return Fail("out of memory", "");
            if (GetBuffer(count, samples, id) != count) return Fail("GetBuffer fell short: ", action);
            fwrite(samples, sizeof(float), (size_t)count, output);
            free(samples);
        } else {
            return Fail("unknown action: ", action);
        }
    }
    DestroyInstance(id);
    return fclose(output) == 0 ? 0 : Fail("cannot write ", argv[1]);
}
