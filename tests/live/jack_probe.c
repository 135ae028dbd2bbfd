/* A JACK client for the live tests: it records what reaches its audio input "in" (the tool's
 * output, which PortAudio connects there when --device names this client) and plays notes on its
 * MIDI output "midi_out" at given times after the tool has connected to both ports.
 *
 *   jack_probe --name NAME --seconds S --out FILE [--note AT_MS:KEY:LENGTH_MS]... [--drop-midi-after S]
 *
 * Prints "ready" once its ports exist. Writes FILE (the recording, 32-bit floats) and FILE.notes
 * (one line per MIDI event sent: the recording frame, the key, 1 for on or 0 for off), then exits
 * after S seconds. With --drop-midi-after the MIDI port is removed after that many seconds, as a
 * keyboard that is unplugged. */
#include <jack/jack.h>
#include <jack/midiport.h>

#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define MAX_EVENTS 256

typedef struct {
    long offset; /* frames after the connection */
    int key;
    int on;
    long sentAt; /* the recording frame it went out at, -1 until then */
} EVENT;

static jack_client_t* client;
static jack_port_t* input;
static _Atomic(jack_port_t*) midiOut;
static float* recording;
static long capacity;
static atomic_long recorded;
static atomic_long connectedAt = -1;
static EVENT events[MAX_EVENTS];
static int eventCount;

static int Process(jack_nframes_t frames, void* unused) {
    (void)unused;
    const long start = atomic_load(&recorded);
    const float* in = jack_port_get_buffer(input, frames);
    for (jack_nframes_t i = 0; i < frames && start + (long)i < capacity; ++i) recording[start + (long)i] = in[i];
    jack_port_t* midi = atomic_load(&midiOut);
    if (midi != NULL) {
        void* buffer = jack_port_get_buffer(midi, frames);
        jack_midi_clear_buffer(buffer);
        if (atomic_load(&connectedAt) < 0 && jack_port_connected(input) > 0 && jack_port_connected(midi) > 0) {
            atomic_store(&connectedAt, start);
        }
        const long connected = atomic_load(&connectedAt);
        for (int e = 0; connected >= 0 && e < eventCount; ++e) {
            const long at = connected + events[e].offset;
            if (events[e].sentAt >= 0 || at >= start + (long)frames) continue;
            const long within = at < start ? 0 : at - start;
            unsigned char bytes[3] = {(unsigned char)(events[e].on ? 0x90 : 0x80), (unsigned char)events[e].key,
                                      (unsigned char)(events[e].on ? 100 : 0)};
            if (jack_midi_event_write(buffer, (jack_nframes_t)within, bytes, 3) == 0) events[e].sentAt = start + within;
        }
    }
    atomic_store(&recorded, start + (long)frames);
    return 0;
}

static int CompareOffsets(const void* a, const void* b) {
    const EVENT* x = a;
    const EVENT* y = b;
    return (x->offset > y->offset) - (x->offset < y->offset);
}

int main(int argc, char** argv) {
    const char* name = "morvanel_probe";
    const char* out = NULL;
    double seconds = 0.0;
    double dropAfter = -1.0;
    const char* notes[MAX_EVENTS / 2];
    int noteCount = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--name") == 0) name = argv[i + 1];
        else if (strcmp(argv[i], "--seconds") == 0) seconds = atof(argv[i + 1]);
        else if (strcmp(argv[i], "--out") == 0) out = argv[i + 1];
        else if (strcmp(argv[i], "--drop-midi-after") == 0) dropAfter = atof(argv[i + 1]);
        else if (strcmp(argv[i], "--note") == 0 && noteCount < MAX_EVENTS / 2) notes[noteCount++] = argv[i + 1];
        else {
            fprintf(stderr, "jack_probe: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    if (out == NULL || seconds <= 0.0) {
        fprintf(stderr, "jack_probe: give --out FILE and --seconds S\n");
        return 2;
    }
    jack_status_t status;
    client = jack_client_open(name, JackNoStartServer | JackUseExactName, &status);
    if (client == NULL) {
        fprintf(stderr, "jack_probe: no JACK server to connect to (status 0x%x)\n", (unsigned)status);
        return 3;
    }
    const jack_nframes_t rate = jack_get_sample_rate(client);
    for (int n = 0; n < noteCount; ++n) {
        long at = 0, key = 0, length = 0;
        if (sscanf(notes[n], "%ld:%ld:%ld", &at, &key, &length) != 3) {
            fprintf(stderr, "jack_probe: --note takes AT_MS:KEY:LENGTH_MS, not %s\n", notes[n]);
            return 2;
        }
        events[eventCount++] = (EVENT){at * (long)rate / 1000, (int)key, 1, -1};
        events[eventCount++] = (EVENT){(at + length) * (long)rate / 1000, (int)key, 0, -1};
    }
    qsort(events, (size_t)eventCount, sizeof events[0], CompareOffsets);
    capacity = (long)(seconds * rate);
    recording = calloc((size_t)capacity, sizeof(float));
    input = jack_port_register(client, "in", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    if (noteCount > 0 || dropAfter >= 0.0) {
        atomic_store(&midiOut, jack_port_register(client, "midi_out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0));
    }
    if (recording == NULL || input == NULL || jack_set_process_callback(client, Process, NULL) != 0 ||
        jack_activate(client) != 0) {
        fprintf(stderr, "jack_probe: cannot set up the client\n");
        return 3;
    }
    printf("ready\n");
    fflush(stdout);
    double slept = 0.0;
    while (slept < seconds) {
        usleep(10000);
        slept += 0.01;
        if (dropAfter >= 0.0 && slept >= dropAfter && atomic_load(&midiOut) != NULL) {
            jack_port_t* port = atomic_exchange(&midiOut, NULL);
            usleep(50000); /* let the process callback finish with it */
            jack_port_unregister(client, port);
        }
    }
    jack_deactivate(client);
    jack_client_close(client);

    FILE* file = fopen(out, "wb");
    const long frames = atomic_load(&recorded) < capacity ? atomic_load(&recorded) : capacity;
    if (file == NULL || fwrite(recording, sizeof(float), (size_t)frames, file) != (size_t)frames || fclose(file) != 0) {
        fprintf(stderr, "jack_probe: cannot write %s\n", out);
        return 3;
    }
    char notesPath[4096];
    snprintf(notesPath, sizeof notesPath, "%s.notes", out);
    file = fopen(notesPath, "w");
    if (file == NULL) return 3;
    for (int e = 0; e < eventCount; ++e) fprintf(file, "%ld %d %d\n", events[e].sentAt, events[e].key, events[e].on);
    fclose(file);
    free(recording);
    return 0;
}
