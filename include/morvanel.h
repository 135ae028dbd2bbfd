/* Morvanel: embeddable procedural sound and music synthesis.
 * The only header a host includes. Every function has C linkage; integers are 32-bit signed,
 * texts are NUL-terminated and owned by the caller, samples are 32-bit floats. The instance id
 * is always the last argument; id 0 is the default instance made usable by Initialize().
 *
 * Threads: one audio thread per instance calls GetBuffer(); control threads call the rest.
 * The posting calls (ParseString, StartVoice, ReleaseVoice, StopVoice, StopAllVoices,
 * ResetEngine, MidiNoteOn, MidiNoteOff) only queue a command and are safe against a concurrent
 * GetBuffer on the same instance; no call can make GetBuffer wait. Each function's
 * "Real-time safety" line says whether it may run inside a host's audio callback. Initialize, NewInstance and DestroyInstance must not overlap
 * any other call. A missing instance (never created, destroyed, or negative id) makes every
 * call return 0, "" or nothing. */
#ifndef MORVANEL_H
#define MORVANEL_H

/* On Windows the functions live in morvanel.dll, under their plain names. On 32-bit Windows
 * they use the C calling convention (__cdecl, the default of MSVC and MinGW compilers): declare
 * them as below, and P/Invoke them with CallingConvention.Cdecl. MORVANEL_STATIC is for
 * programs that link the engine's code into themselves instead of the DLL (the test suite). */
#if defined(_WIN32)
#  if defined(MORVANEL_BUILDING)
#    define MORVANEL_EXPORT __declspec(dllexport)
#  elif defined(MORVANEL_STATIC)
#    define MORVANEL_EXPORT
#  else
#    define MORVANEL_EXPORT __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define MORVANEL_EXPORT __attribute__((visibility("default")))
#else
#  define MORVANEL_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Builds (or rebuilds) the default instance 0 with `sampleRate` samples per second.
 * Control thread, not concurrently with any other call. Returns 0.
 * Real-time safety: not for an audio callback (allocates the engine). */
MORVANEL_EXPORT int Initialize(int sampleRate);

/* Creates an instance and returns its id (16, 17, ... in call order; ids are never reused).
 * Control thread, not concurrently with any other call.
 * Real-time safety: not for an audio callback (allocates the engine). */
MORVANEL_EXPORT int NewInstance(int sampleRate);

/* Destroys an instance and everything it owns. Ids 0 and unknown ids change nothing.
 * Control thread; no other call on that instance may be running.
 * Real-time safety: not for an audio callback (frees the engine). */
MORVANEL_EXPORT void DestroyInstance(int instance);

/* Audio thread. Applies queued commands and renders `count` mono samples into `out`.
 * Returns count; 0 for a missing instance or a NULL `out`; count itself when count <= 0
 * (nothing is written and no command is applied then).
 * Real-time safety: made for the audio callback. It never takes a lock or waits for a control
 * thread; voice starts, releases, stops, notes and ending voices allocate nothing once the
 * script is compiled. Applying a ParseString or ResetEngine allocates: post those while the
 * instance is quiet if a callback cannot afford a compile. */
MORVANEL_EXPORT int GetBuffer(int count, float* out, int instance);

/* Queues a script for compilation at the next GetBuffer sample. Returns the serial that
 * identifies the parse log response, or 0 (missing instance, NULL script, full queue).
 * Real-time safety: not for an audio callback (copies the script to the heap). */
MORVANEL_EXPORT int ParseString(const char* script, int instance);

/* Queues a voice start; `text` is a box name optionally followed by ':' arguments
 * ("lead:60:0.5"), at most 31 characters. Returns the new voice's id, or 0 (missing
 * instance, NULL or too long text, full queue). A name that matches no box starts nothing.
 * Real-time safety: lock-free, never waits; it reads the text on the calling thread (which
 * allocates a little), so call it from a control thread rather than inside the callback. */
MORVANEL_EXPORT int StartVoice(const char* text, int instance);

/* Queues a release: looping parts of the voice leave their loop and play their release.
 * Real-time safety: lock-free, allocation-free; safe from any thread, the callback included. */
MORVANEL_EXPORT void ReleaseVoice(int voiceId, int instance);

/* Queues a stop: the voice falls silent at once. Unknown ids are ignored.
 * Real-time safety: lock-free, allocation-free; safe from any thread, the callback included. */
MORVANEL_EXPORT void StopVoice(int voiceId, int instance);

/* Queues a stop of every voice of the instance.
 * Real-time safety: lock-free, allocation-free; safe from any thread, the callback included. */
MORVANEL_EXPORT void StopAllVoices(int instance);

/* Control thread. Takes queued responses until the one answering `responseId` (a serial from
 * ParseString, or 0 for box reports and MIDI key notices) and returns its text; responses in
 * front of it are discarded. Returns "" when there is none. The text stays valid until the
 * next GetResponseString call on the same thread that takes a response.
 * Real-time safety: not for an audio callback (copies the text, and takers of one instance
 * share a lock); GetBuffer never waits for it. */
MORVANEL_EXPORT const char* GetResponseString(int responseId, int instance);

/* Control thread. Starts the box mapped to `note` by the script's midikey command, with
 * 'n' = note and 'v' = velocity / 127. Unmapped notes are ignored.
 * Real-time safety: never makes GetBuffer wait (it reads the published key map without a lock);
 * it allocates to remember the note, and MIDI threads of one instance share a short lock, so
 * call it from a MIDI or control thread rather than inside the callback. */
MORVANEL_EXPORT void MidiNoteOn(int note, int velocity, int instance);

/* Control thread. Releases every voice that MidiNoteOn started for `note`.
 * Real-time safety: as MidiNoteOn. */
MORVANEL_EXPORT void MidiNoteOff(int note, int instance);

/* Control thread. Writes a global variable declared by the script (global or ccvar); `name` is
 * written as in scripts ("%a"): the second character is the letter. Other names do nothing.
 * Real-time safety: lock-free, allocation-free, one atomic store; safe from any thread, the
 * callback included. */
MORVANEL_EXPORT void SetVariable(const char* name, float value, int instance);

/* Control thread. Returns a JSON list of the compiled boxes and their parameter letters, in an
 * instance-owned buffer valid until the next call for the same instance ("" when the report
 * does not fit 16383 characters or the instance is missing). One thread per instance at a time:
 * the buffer returned is shared by every call on that instance.
 * Real-time safety: lock-free and allocation-free (it copies the report the audio thread last
 * published, up to 16 KB); GetBuffer never waits for it. */
MORVANEL_EXPORT const char* ReportBoxesAsJson(int instance);

/* Queues a reset: stops every voice, drops boxes, key maps and queued commands and responses,
 * restores the tempo. The sample rate and global variables stay.
 * Real-time safety: posting is lock-free and allocation-free; applying it frees the script's
 * boxes on the audio thread. */
MORVANEL_EXPORT void ResetEngine(int instance);

/* Returns 42; touches no state. Any thread.
 * Real-time safety: safe anywhere. */
MORVANEL_EXPORT int AmIAlive(void);

/* Extensions beyond the 16 functions above. Their names always start with "Morvanel". */

/* Any thread. The number of voices in the instance's list after the last GetBuffer: 0 once every
 * voice has ended, so a host knows when a one-shot sound is over. 0 for a missing instance.
 * Real-time safety: one atomic load; safe anywhere. */
MORVANEL_EXPORT int MorvanelActiveVoices(int instance);

/* The version of this header and of the library built with it. The build reads its version from
 * these lines, so they are the one place it is written. */
#define MORVANEL_VERSION_MAJOR 1
#define MORVANEL_VERSION_MINOR 0
#define MORVANEL_VERSION_PATCH 0
#define MORVANEL_VERSION "1.0.0"

#ifdef __cplusplus
}
#endif

#endif /* MORVANEL_H */
