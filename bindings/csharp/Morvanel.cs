// Morvanel from C#: one file to add to a project (Unity, Godot .NET, any .NET or Mono program) next
// to the native library (morvanel.dll, libmorvanel.so, libmorvanel.dylib). P/Invoke over the C API;
// texts cross as UTF-8. The Span<float> overload of Render is compiled where the runtime has Span
// (.NET Core 2.1+, .NET Standard 2.1, Unity 2021.2+, Mono with -d:MORVANEL_SPAN).
#if NETCOREAPP2_1_OR_GREATER || NETSTANDARD2_1_OR_GREATER || UNITY_2021_2_OR_NEWER
#define MORVANEL_SPAN
#endif

using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Runtime.InteropServices;
using System.Text;
using System.Text.RegularExpressions;
using System.Threading;

namespace Morvanel
{
    /// <summary>Morvanel could not do what was asked: a full queue, a disposed engine, a script
    /// that did not compile (<see cref="ScriptException"/>).</summary>
    public class MorvanelException : Exception
    {
        public MorvanelException(string message) : base(message) { }
    }

    public enum Severity { Error, Warning, Note }

    /// <summary>One line of a parse log: a 1-based position and the compiler's message.</summary>
    public struct Diagnostic
    {
        public readonly int Line;
        public readonly int Column;
        public readonly string Message;
        public readonly Severity Severity;

        public Diagnostic(int line, int column, string message, Severity severity)
        {
            Line = line;
            Column = column;
            Message = message;
            Severity = severity;
        }

        public override string ToString()
        {
            return Line + ":" + Column + ": " + Severity.ToString().ToLowerInvariant() + ": " + Message;
        }
    }

    /// <summary>A script did not compile; Line, Column and the message are those of its first error.</summary>
    public sealed class ScriptException : MorvanelException
    {
        public readonly string Log;
        public readonly int Line;
        public readonly int Column;

        internal ScriptException(string log, Diagnostic first)
            : base("line " + first.Line + ", column " + first.Column + ": " + first.Message)
        {
            Log = log;
            Line = first.Line;
            Column = first.Column;
        }
    }

    /// <summary>One Morvanel engine instance. Create it with a sample rate, compile scripts with
    /// Parse, start voices with Start or NoteOn, and pull samples with Render, typically on the
    /// audio thread (Unity's OnAudioFilterRead, Godot's AudioStreamGenerator). Dispose it to destroy
    /// the instance; the finalizer hands a forgotten one to the next Engine or Dispose call, because
    /// the library forbids destroying an instance while another thread is inside a call.
    /// Threads: one thread renders; one control thread makes every other call. Create and dispose
    /// engines while no other thread is inside a call of the library.</summary>
    public sealed class Engine : IDisposable
    {
        public const string Version = "1.0.0";
        public const int MaxStartTextBytes = 31;
        /// <summary>How long Parse waits for a rendering thread to compile its script.</summary>
        public static int ParseTimeoutMilliseconds = 2000;

        const string Library = "morvanel";
        static readonly List<int> dropped = new List<int>();
        static readonly Regex diagnosticPrefix = new Regex(@"^LINE (\d+) COLUMN (\d+): ", RegexOptions.Multiline);
        const string Success = "Compilation successful.";

        int instance;
        readonly int sampleRate;
        int renderThread;  // managed id of the last thread that rendered, 0 before any render

        public Engine(int sampleRate)
        {
            if (sampleRate < 1 || sampleRate > 1000000)
                throw new ArgumentOutOfRangeException("sampleRate", sampleRate, "a sample rate is from 1 to 1000000 Hz");
            int alive;
            try
            {
                alive = Native.AmIAlive();
            }
            catch (DllNotFoundException error)
            {
                throw new MorvanelException("the Morvanel library was not found (" + error.Message +
                    "): put morvanel.dll or libmorvanel.so where the runtime loads native libraries from");
            }
            if (alive != 42) throw new MorvanelException("the library named morvanel is not Morvanel: AmIAlive did not answer 42");
            DestroyDropped();
            this.sampleRate = sampleRate;
            instance = Native.NewInstance(sampleRate);
            if (instance <= 0) throw new MorvanelException("NewInstance returned " + instance);
        }

        ~Engine()
        {
            if (instance != 0)
            {
                lock (dropped) dropped.Add(instance);
            }
        }

        public int SampleRate { get { return sampleRate; } }

        /// <summary>The library's id of this instance; 0 once disposed.</summary>
        public int Instance { get { return instance; } }

        public void Dispose()
        {
            if (instance != 0)
            {
                Native.DestroyInstance(instance);
                instance = 0;
                GC.SuppressFinalize(this);
            }
            DestroyDropped();
        }

        static void DestroyDropped()
        {
            int[] ids;
            lock (dropped)
            {
                ids = dropped.ToArray();
                dropped.Clear();
            }
            foreach (int id in ids) Native.DestroyInstance(id);
        }

        int Live()
        {
            if (instance == 0) throw new ObjectDisposedException("Morvanel.Engine");
            return instance;
        }

        /// <summary>Compiles a script and returns the compiler's log, which ends with "Compilation
        /// successful. ..." when the script compiled to its end. With throwOnError, a script that did
        /// not compile cleanly throws ScriptException. When another thread renders this engine, Parse
        /// waits for it to compile the script at its next sample (ParseTimeoutMilliseconds at most);
        /// otherwise Parse compiles at once by rendering one sample, which is dropped.</summary>
        public string Parse(string script, bool throwOnError = false)
        {
            int id = Live();
            int serial = Native.ParseString(Utf8(script, "script"), id);
            if (serial == 0) throw new MorvanelException("the engine's command queue is full (64 commands wait for Render)");
            string log;
            int renderer = Volatile.Read(ref renderThread);
            if (renderer == 0 || renderer == Thread.CurrentThread.ManagedThreadId)
            {
                float discarded = 0f;
                Native.GetBufferRef(1, ref discarded, id);
                log = Text(Native.GetResponseString(serial, id));
                if (log.Length == 0)
                    throw new MorvanelException("the script was compiled but its log was dropped: the engine's response " +
                        "queue was full (each key a midikey command maps posts a notice; about 190 fit)");
            }
            else
            {
                Stopwatch waited = Stopwatch.StartNew();
                while ((log = Text(Native.GetResponseString(serial, id))).Length == 0)
                {
                    if (waited.ElapsedMilliseconds > ParseTimeoutMilliseconds)
                        throw new MorvanelException("the thread that renders this engine did not compile the script within " +
                            ParseTimeoutMilliseconds + " ms: is it still rendering?");
                    Thread.Sleep(1);
                }
            }
            if (throwOnError)
            {
                bool compiled;
                foreach (Diagnostic diagnostic in Diagnostics(log, out compiled))
                {
                    if (diagnostic.Severity == Severity.Error) throw new ScriptException(log, diagnostic);
                }
                if (!compiled) throw new ScriptException(log, new Diagnostic(0, 0, "the script did not compile to its end", Severity.Error));
            }
            return log;
        }

        /// <summary>Splits a parse log into its diagnostics (every line but the success line);
        /// compiled tells whether the log ends with the success line.</summary>
        public static List<Diagnostic> Diagnostics(string log, out bool compiled)
        {
            var diagnostics = new List<Diagnostic>();
            compiled = false;
            MatchCollection matches = diagnosticPrefix.Matches(log);
            for (int i = 0; i < matches.Count; ++i)
            {
                Match match = matches[i];
                int end = i + 1 < matches.Count ? matches[i + 1].Index : log.Length;
                string message = log.Substring(match.Index + match.Length, end - match.Index - match.Length).TrimEnd('\r', '\n', ' ');
                if (message.StartsWith(Success, StringComparison.Ordinal))
                {
                    compiled = true;
                    continue;
                }
                Severity severity = Severity.Error;
                if (message.StartsWith("WARNING: ", StringComparison.Ordinal))
                {
                    severity = Severity.Warning;
                    message = message.Substring(9);
                }
                else if (message.StartsWith("ERROR: ", StringComparison.Ordinal))
                {
                    message = message.Substring(7);
                }
                else if (message.Contains("is not simulated"))
                {
                    severity = Severity.Note;
                }
                diagnostics.Add(new Diagnostic(int.Parse(match.Groups[1].Value), int.Parse(match.Groups[2].Value), message, severity));
            }
            return diagnostics;
        }

        /// <summary>The box report: a JSON list of the compiled boxes with their parameter letters.</summary>
        public string BoxReport()
        {
            string report = Text(Native.ReportBoxesAsJson(Live()));
            if (report.Length == 0) throw new MorvanelException("the box report does not fit the library's buffer of 16383 characters");
            return report;
        }

        /// <summary>Starts a voice at the next rendered sample and returns its id. text is a box name,
        /// optionally with ':' arguments ("lead:60:0.5"), at most 31 bytes in UTF-8. A name that
        /// matches no box starts nothing.</summary>
        public int Start(string text)
        {
            byte[] bytes = Utf8(text, "start text");
            if (bytes.Length == 1) throw new ArgumentException("the start text is empty", "text");
            if (bytes.Length - 1 > MaxStartTextBytes)
                throw new ArgumentException("the start text is " + (bytes.Length - 1) + " bytes long; the engine takes at most " + MaxStartTextBytes, "text");
            int voice = Native.StartVoice(bytes, Live());
            if (voice == 0) throw new MorvanelException("the engine's command queue is full (64 commands wait for Render)");
            return voice;
        }

        /// <summary>Lets the looping parts of a voice leave their loop and play their release.</summary>
        public void Release(int voice) { Native.ReleaseVoice(voice, Live()); }

        /// <summary>Silences a voice at the next sample.</summary>
        public void Stop(int voice) { Native.StopVoice(voice, Live()); }

        public void StopAll() { Native.StopAllVoices(Live()); }

        /// <summary>At the next sample: stops every voice, drops boxes, key maps and queued commands.</summary>
        public void Reset() { Native.ResetEngine(Live()); }

        /// <summary>Starts the box mapped to note by midikey(); unmapped notes do nothing.</summary>
        public void NoteOn(int note, int velocity = 127)
        {
            CheckMidi(note, "note");
            CheckMidi(velocity, "velocity");
            Native.MidiNoteOn(note, velocity, Live());
        }

        /// <summary>Releases the voices NoteOn started for note.</summary>
        public void NoteOff(int note)
        {
            CheckMidi(note, "note");
            Native.MidiNoteOff(note, Live());
        }

        /// <summary>Writes a global variable declared with global() or ccvar(); name is "%d" or "d".</summary>
        public void SetVariable(string name, float value)
        {
            if (name == null || !Regex.IsMatch(name, "^%?[A-Za-z0-9_]$"))
                throw new ArgumentException("a variable name is one letter, digit or '_', optionally after '%'", "name");
            Native.SetVariable(Utf8("%" + name[name.Length - 1], "name"), value, Live());
        }

        /// <summary>Voices still playing after the last rendered sample: 0 once a sound is over.</summary>
        public int ActiveVoices { get { return Native.MorvanelActiveVoices(Live()); } }

        /// <summary>Renders buffer.Length samples into buffer; returns the number written.</summary>
        public int Render(float[] buffer)
        {
            if (buffer == null) throw new ArgumentNullException("buffer");
            return Render(buffer, 0, buffer.Length);
        }

        /// <summary>Renders count samples into buffer from offset on; returns the number written.</summary>
        public int Render(float[] buffer, int offset, int count)
        {
            if (buffer == null) throw new ArgumentNullException("buffer");
            if (offset < 0 || count < 0 || offset > buffer.Length - count)
                throw new ArgumentOutOfRangeException("count", "offset and count lie outside the buffer");
            int id = Live();
            Volatile.Write(ref renderThread, Thread.CurrentThread.ManagedThreadId);
            if (count == 0) return 0;
            return Checked(Native.GetBufferRef(count, ref buffer[offset], id), count);
        }

#if MORVANEL_SPAN
        /// <summary>Renders buffer.Length samples into buffer; returns the number written.</summary>
        public int Render(Span<float> buffer)
        {
            int id = Live();
            Volatile.Write(ref renderThread, Thread.CurrentThread.ManagedThreadId);
            if (buffer.Length == 0) return 0;
            return Checked(Native.GetBufferRef(buffer.Length, ref MemoryMarshal.GetReference(buffer), id), buffer.Length);
        }
#endif

        static int Checked(int rendered, int count)
        {
            if (rendered != count) throw new MorvanelException("GetBuffer rendered " + rendered + " of " + count + " samples");
            return rendered;
        }

        static void CheckMidi(int value, string what)
        {
            if (value < 0 || value > 127) throw new ArgumentOutOfRangeException(what, value, "MIDI values are from 0 to 127");
        }

        // NUL-terminated UTF-8: the form every text of the C API takes.
        static byte[] Utf8(string text, string what)
        {
            if (text == null) throw new ArgumentNullException(what);
            if (text.IndexOf('\0') >= 0) throw new ArgumentException("the " + what + " contains a NUL character", what);
            byte[] bytes = new byte[Encoding.UTF8.GetByteCount(text) + 1];
            Encoding.UTF8.GetBytes(text, 0, text.Length, bytes, 0);
            return bytes;
        }

        // Copies a NUL-terminated UTF-8 text the library owns (it is reused by later calls).
        static string Text(IntPtr text)
        {
            if (text == IntPtr.Zero) return "";
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0) ++length;
            byte[] bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return Encoding.UTF8.GetString(bytes);
        }

        static class Native
        {
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] internal static extern int AmIAlive();
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] internal static extern int NewInstance(int sampleRate);
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] internal static extern void DestroyInstance(int instance);
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl, EntryPoint = "GetBuffer")]
            internal static extern int GetBufferRef(int count, ref float first, int instance);
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] internal static extern int ParseString(byte[] script, int instance);
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] internal static extern int StartVoice(byte[] text, int instance);
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] internal static extern void ReleaseVoice(int voice, int instance);
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] internal static extern void StopVoice(int voice, int instance);
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] internal static extern void StopAllVoices(int instance);
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr GetResponseString(int responseId, int instance);
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] internal static extern void MidiNoteOn(int note, int velocity, int instance);
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] internal static extern void MidiNoteOff(int note, int instance);
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] internal static extern void SetVariable(byte[] name, float value, int instance);
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] internal static extern IntPtr ReportBoxesAsJson(int instance);
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] internal static extern void ResetEngine(int instance);
            [DllImport(Library, CallingConvention = CallingConvention.Cdecl)] internal static extern int MorvanelActiveVoices(int instance);
        }
    }
}
