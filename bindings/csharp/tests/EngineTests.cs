// The C# binding against the library built in the same run, under Mono: renders equal to the C
// API's for every case of tests/bindings/cases.txt, diagnostics with their positions, instances
// that do not outlive their engines, and one clear exception wherever the binding cannot do what
// was asked. Usage: mono EngineTests.exe SOURCE_DIR REFERENCE_RENDER SCRATCH_DIR HEADER_VERSION
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Runtime.InteropServices;
using System.Text.RegularExpressions;
using System.Threading;
using Morvanel;

static class EngineTests
{
    static string source, reference, scratch, headerVersion;
    static int passed, failed;

    [DllImport("morvanel", CallingConvention = CallingConvention.Cdecl)]
    static extern int GetBuffer(int count, float[] samples, int instance);
    [DllImport("morvanel", CallingConvention = CallingConvention.Cdecl)]
    static extern IntPtr ReportBoxesAsJson(int instance);

    static int Main(string[] args)
    {
        if (args.Length != 4)
        {
            Console.Error.WriteLine("usage: EngineTests SOURCE_DIR REFERENCE_RENDER SCRATCH_DIR HEADER_VERSION");
            return 2;
        }
        source = args[0];
        reference = args[1];
        scratch = args[2];
        headerVersion = args[3];

        foreach (string line in File.ReadAllLines(Path.Combine(source, "tests/bindings/cases.txt")))
        {
            if (line.Trim().Length == 0 || line.StartsWith("#")) continue;
            string[] words = line.Split(new[] { ' ' }, StringSplitOptions.RemoveEmptyEntries);
            Test("renders equal the C API: " + words[0], () => RenderCase(words));
        }
        foreach (string path in Directory.GetFiles(Path.Combine(source, "tests/scripts/errors"), "*.mv"))
        {
            Test("diagnostics of " + Path.GetFileName(path), () => CorpusDiagnostics(path));
        }
        Test("throwOnError throws at the first error", ThrowsAtFirstError);
        Test("Render(Span<float>) equals Render(float[])", SpanEqualsArray);
        Test("disposed and dropped engines leave no instance", NoInstanceOutlivesItsEngine);
        Test("a disposed engine refuses every call", DisposedEngineRefuses);
        Test("bad arguments throw", BadArgumentsThrow);
        Test("a full command queue throws", FullQueueThrows);
        Test("Parse waits for the thread that renders", ParseWaitsForRenderingThread);
        Test("the binding's version is the header's", () => Expect(Engine.Version == headerVersion, "Version " + Engine.Version + ", header " + headerVersion));

        Console.WriteLine(passed + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }

    static void Test(string name, Action test)
    {
        try
        {
            test();
            ++passed;
        }
        catch (Exception error)
        {
            ++failed;
            Console.WriteLine("FAILED " + name + ": " + error);
        }
    }

    static void Expect(bool condition, string what)
    {
        if (!condition) throw new Exception(what);
    }

    static void Throws<T>(Action call, string what) where T : Exception
    {
        try
        {
            call();
        }
        catch (T)
        {
            return;
        }
        throw new Exception(what + " did not throw " + typeof(T).Name);
    }

    // Does a case's actions through the binding, and through reference_render, and compares.
    static void RenderCase(string[] words)
    {
        string name = words[0];
        int rate = int.Parse(words[1]);
        var actions = new List<string>(words).GetRange(2, words.Length - 2);
        string output = Path.Combine(scratch, name + ".f32");
        var start = new ProcessStartInfo(reference, "\"" + output + "\" " + rate + " " + string.Join(" ", actions))
        {
            UseShellExecute = false,
            WorkingDirectory = source,
            RedirectStandardOutput = true,
        };
        using (Process process = Process.Start(start))
        {
            process.StandardOutput.ReadToEnd();
            process.WaitForExit();
            Expect(process.ExitCode == 0, "reference_render failed for " + name);
        }
        byte[] bytes = File.ReadAllBytes(output);
        var expected = new float[bytes.Length / 4];
        Buffer.BlockCopy(bytes, 0, expected, 0, bytes.Length);

        var actual = new List<float>();
        var voices = new List<int>();
        using (var engine = new Engine(rate))
        {
            foreach (string action in actions)
            {
                int equals = action.IndexOf('=');
                string verb = equals < 0 ? action : action.Substring(0, equals);
                string value = equals < 0 ? "" : action.Substring(equals + 1);
                string[] pair = value.Split(',');
                switch (verb)
                {
                    case "parse": engine.Parse(File.ReadAllText(Path.Combine(source, value)), true); break;
                    case "start": voices.Add(engine.Start(value)); break;
                    case "release": engine.Release(voices[int.Parse(value) - 1]); break;
                    case "stop": engine.Stop(voices[int.Parse(value) - 1]); break;
                    case "stopall": engine.StopAll(); break;
                    case "reset": engine.Reset(); break;
                    case "note_on": engine.NoteOn(int.Parse(pair[0]), int.Parse(pair[1])); break;
                    case "note_off": engine.NoteOff(int.Parse(value)); break;
                    case "set": engine.SetVariable(pair[0], float.Parse(pair[1], System.Globalization.CultureInfo.InvariantCulture)); break;
                    case "render":
                        var block = new float[int.Parse(value)];
                        Expect(engine.Render(block) == block.Length, "Render returned a short count");
                        actual.AddRange(block);
                        break;
                    default: throw new Exception("unknown action " + action);
                }
            }
        }
        Expect(actual.Count == expected.Length, "binding rendered " + actual.Count + " samples, C API " + expected.Length);
        bool sounded = false;
        for (int i = 0; i < expected.Length; ++i)
        {
            if (actual[i] != expected[i])
                throw new Exception("first differing sample " + i + ": binding " + actual[i].ToString("R") + ", C API " + expected[i].ToString("R"));
            sounded |= expected[i] != 0f;
        }
        Expect(sounded, "the reference is silent; the case tests nothing");
    }

    // The script states its log in '// expect:' lines; the log, positions and severities must match.
    static void CorpusDiagnostics(string path)
    {
        string expected = "";
        foreach (string line in File.ReadAllLines(path))
        {
            if (line.StartsWith("// expect: ")) expected += line.Substring(11) + "\n";
            else if (line.StartsWith("// expect-unterminated: ")) expected += line.Substring(24);
        }
        var stated = new List<Match>();
        foreach (Match match in Regex.Matches(expected, @"LINE (\d+) COLUMN (\d+): ([^\n]*)"))
        {
            if (!match.Groups[3].Value.StartsWith("Compilation successful")) stated.Add(match);
        }
        using (var engine = new Engine(48000))
        {
            string log = engine.Parse(File.ReadAllText(path));
            Expect(log == expected, "log\n" + log + "differs from the stated\n" + expected);
            bool compiled;
            List<Diagnostic> diagnostics = Engine.Diagnostics(log, out compiled);
            Expect(diagnostics.Count == stated.Count, diagnostics.Count + " diagnostics, " + stated.Count + " stated");
            for (int i = 0; i < stated.Count; ++i)
            {
                Diagnostic d = diagnostics[i];
                string text = stated[i].Groups[3].Value;
                Expect(d.Line == int.Parse(stated[i].Groups[1].Value) && d.Column == int.Parse(stated[i].Groups[2].Value), "position of " + d);
                Expect(text.EndsWith(d.Message), "message of " + d);
                Expect(d.Severity == (text.StartsWith("WARNING") ? Severity.Warning : Severity.Error), "severity of " + d);
            }
            Expect(compiled == expected.Contains("Compilation successful"), "compiled is " + compiled);
        }
    }

    static void ThrowsAtFirstError()
    {
        using (var engine = new Engine(48000))
        {
            try
            {
                engine.Parse("beep = { sqr(@440) }\n\nbuzz = {\n    sqr(@220) fadeout(~0.1, 2)\n}\n", true);
                throw new Exception("no ScriptException");
            }
            catch (ScriptException error)
            {
                Expect(error.Line == 4 && error.Column > 1, "position " + error.Line + ":" + error.Column);
                Expect(error.Message.StartsWith("line 4, column " + error.Column + ": "), error.Message);
                Expect(error.Log.Contains("LINE 4 COLUMN "), error.Log);
            }
            Expect(engine.Parse("buffer(512)", true).Contains("Compilation successful"), "a note threw");
            Expect(engine.BoxReport().Contains("\"Name\": \"beep\""), engine.BoxReport());
        }
    }

    static void SpanEqualsArray()
    {
        var viaArray = new float[3000];
        var viaSpan = new float[3000];
        foreach (float[] target in new[] { viaArray, viaSpan })
        {
            using (var engine = new Engine(48000))
            {
                engine.Parse(File.ReadAllText(Path.Combine(source, "examples/melody.mv")), true);
                if (target == viaArray)
                {
                    engine.Render(target, 0, 1000);
                    engine.Render(target, 1000, 2000);
                }
                else
                {
                    engine.Render(new Span<float>(target, 0, 1000));
                    engine.Render(new Span<float>(target).Slice(1000));
                }
            }
        }
        bool sounded = false;
        for (int i = 0; i < viaArray.Length; ++i)
        {
            Expect(viaArray[i] == viaSpan[i], "sample " + i + " differs");
            sounded |= viaArray[i] != 0f;
        }
        Expect(sounded, "silent");
    }

    static bool IsMissing(int instance)
    {
        var sample = new float[] { 7f };
        return GetBuffer(1, sample, instance) == 0 && sample[0] == 7f && Marshal.ReadByte(ReportBoxesAsJson(instance)) == 0;
    }

    // Allocates engines in a frame of its own, so none stays reachable from Main's stack.
    static List<int> MakeEngines(int count, bool dispose)
    {
        var ids = new List<int>();
        for (int i = 0; i < count; ++i)
        {
            var engine = new Engine(8000);
            engine.Parse("a = { sqr(@100) }");
            engine.Start("a");
            ids.Add(engine.Instance);
            if (dispose) engine.Dispose();
        }
        return ids;
    }

    static void NoInstanceOutlivesItsEngine()
    {
        List<int> ids = MakeEngines(300, true);
        ids.AddRange(MakeEngines(300, false));
        GC.Collect();
        GC.WaitForPendingFinalizers();
        using (var survivor = new Engine(8000))  // destroys what the finalizers handed over
        {
            Expect(!IsMissing(survivor.Instance), "a live instance counts as missing");
            int left = ids.FindAll(id => !IsMissing(id)).Count;
            Expect(left == 0, left + " of " + ids.Count + " instances outlived their engines");
        }
    }

    static void DisposedEngineRefuses()
    {
        var engine = new Engine(48000);
        engine.Dispose();
        engine.Dispose();
        Expect(engine.Instance == 0, "Instance after Dispose");
        Throws<ObjectDisposedException>(() => engine.Parse(""), "Parse");
        Throws<ObjectDisposedException>(() => engine.Start("a"), "Start");
        Throws<ObjectDisposedException>(() => engine.Render(new float[4]), "Render");
        Throws<ObjectDisposedException>(() => engine.NoteOn(60, 100), "NoteOn");
        Throws<ObjectDisposedException>(() => { int n = engine.ActiveVoices; }, "ActiveVoices");
    }

    static void BadArgumentsThrow()
    {
        Throws<ArgumentOutOfRangeException>(() => new Engine(0), "Engine(0)");
        using (var engine = new Engine(48000))
        {
            Throws<ArgumentException>(() => engine.Start(new string('x', 32)), "a 32-character start text");
            Throws<ArgumentException>(() => engine.Start(new string('é', 16)), "a 32-byte start text");
            Throws<ArgumentException>(() => engine.Start(""), "an empty start text");
            Throws<ArgumentNullException>(() => engine.Parse(null), "a null script");
            Throws<ArgumentException>(() => engine.Parse("a = {}\0"), "a NUL in a script");
            Throws<ArgumentOutOfRangeException>(() => engine.NoteOn(128, 1), "note 128");
            Throws<ArgumentOutOfRangeException>(() => engine.NoteOn(60, -1), "velocity -1");
            Throws<ArgumentException>(() => engine.SetVariable("ab", 1f), "variable ab");
            Throws<ArgumentOutOfRangeException>(() => engine.Render(new float[4], 2, 3), "a range past the buffer");
            Throws<ArgumentNullException>(() => engine.Render(null), "a null buffer");
            Expect(engine.Render(new float[0]) == 0, "an empty buffer");
        }
    }

    static void FullQueueThrows()
    {
        using (var engine = new Engine(48000))
        {
            engine.Parse("a = { sqr(@100) }", true);
            int last = 0;
            for (int i = 0; i < 64; ++i) last = engine.Start("a");
            Throws<MorvanelException>(() => engine.Start("a"), "a 65th start");
            Throws<MorvanelException>(() => engine.Parse("b = { sqr(@100) }"), "a parse into a full queue");
            engine.Render(new float[1]);
            Expect(engine.ActiveVoices == 64, engine.ActiveVoices + " voices");
            Expect(engine.Start("a") > last, "no start after the queue drained");
        }
    }

    static void ParseWaitsForRenderingThread()
    {
        using (var engine = new Engine(48000))
        {
            bool stop = false;
            float peak = 0f;
            int blocks = 0;
            var audio = new Thread(() =>
            {
                var block = new float[64];
                while (!Volatile.Read(ref stop))
                {
                    engine.Render(block);
                    foreach (float sample in block) peak = Math.Max(peak, Math.Abs(sample));
                    Interlocked.Increment(ref blocks);
                    Thread.Sleep(1);
                }
            });
            audio.Start();
            try
            {
                while (Volatile.Read(ref blocks) == 0) Thread.Sleep(1);
                string log = engine.Parse("beep = { @loop sqr(@440) }", true);
                Expect(log.Contains("Parsed 1 boxes"), log);
                engine.Start("beep");
                var waited = Stopwatch.StartNew();
                while (Volatile.Read(ref peak) == 0f && waited.ElapsedMilliseconds < 5000) Thread.Sleep(1);
                Expect(Volatile.Read(ref peak) > 0.09f, "the audio thread never played the beep");
            }
            finally
            {
                Volatile.Write(ref stop, true);
                audio.Join();
            }
            int saved = Engine.ParseTimeoutMilliseconds;
            Engine.ParseTimeoutMilliseconds = 50;
            try
            {
                Throws<MorvanelException>(() => engine.Parse("c = { sqr(@1) }"), "a parse with the rendering thread gone");
            }
            finally
            {
                Engine.ParseTimeoutMilliseconds = saved;
            }
        }
    }
}
