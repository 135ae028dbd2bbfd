// Morvanel for JavaScript: the engine compiled to WebAssembly behind a small API. One engine is one
// WebAssembly instance with its own memory, so a fault in one never reaches another. Runs in
// Node 18+, browsers, workers and AudioWorkletGlobalScope (which has no fetch, URL, TextEncoder or
// TextDecoder: there the caller hands in a compiled module and uses createSync).

const REQUIRED_EXPORTS = [
    'memory', '_initialize', 'malloc', 'free', 'fflush',
    'Initialize', 'NewInstance', 'DestroyInstance', 'GetBuffer', 'ParseString', 'StartVoice',
    'ReleaseVoice', 'StopVoice', 'StopAllVoices', 'GetResponseString', 'MidiNoteOn', 'MidiNoteOff',
    'SetVariable', 'ReportBoxesAsJson', 'ResetEngine', 'AmIAlive', 'MorvanelActiveVoices',
];

// Samples rendered per GetBuffer call; render(n) loops over this scratch buffer.
const SCRATCH_SAMPLES = 4096;
// The longest start text the engine accepts.
const MAX_START_TEXT = 31;
// A line longer than this is handed on in pieces, so output without line breaks cannot pile up.
const MAX_LINE_BYTES = 1 << 16;
const DIAGNOSTIC_LINE = /^LINE (\d+) COLUMN (\d+): (.*)$/;
const SUCCESS_MESSAGE = 'Compilation successful';

const WASI_ESUCCESS = 0;
const WASI_EBADF = 8;
const WASI_ESPIPE = 70;

/** Every failure of the module or the engine is reported with this class. */
export class MorvanelError extends Error {
    constructor(message, options) {
        super(message, options);
        this.name = 'MorvanelError';
    }
}

// Raised by the module's exit import; the engine cannot go on after it.
class ExitSignal extends Error {}

let defaultModule = null;
const CONSTRUCTION = Symbol('Morvanel construction');

// AudioWorkletGlobalScope has no URL class, so the address is worked out only when needed.
async function LoadDefaultBytes() {
    const url = new URL('../dist/morvanel.wasm', import.meta.url);
    if (url.protocol === 'file:') {
        const { readFile } = await import('node:fs/promises');
        return readFile(url);
    }
    const response = await fetch(url);
    if (!response.ok) throw new MorvanelError(`cannot load ${url}: HTTP ${response.status}`);
    return response.arrayBuffer();
}

// UTF-8 by hand: AudioWorkletGlobalScope has neither TextEncoder nor TextDecoder.
function CodePoints(text, visit) {
    for (let i = 0; i < text.length; ++i) {
        let c = text.charCodeAt(i);
        if (c >= 0xd800 && c < 0xdc00 && i + 1 < text.length) {
            const low = text.charCodeAt(i + 1);
            if (low >= 0xdc00 && low < 0xe000) {
                c = 0x10000 + ((c - 0xd800) << 10) + (low - 0xdc00);
                ++i;
            }
        }
        visit(c >= 0xd800 && c < 0xe000 ? 0xfffd : c);  // a lone surrogate becomes U+FFFD
    }
}

const nativeEncoder = typeof TextEncoder === 'function' ? new TextEncoder() : null;

function EncodeUtf8(text) {
    if (nativeEncoder !== null) return nativeEncoder.encode(text);
    let size = 0;
    CodePoints(text, (c) => {
        size += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    });
    const bytes = new Uint8Array(size);
    let length = 0;
    CodePoints(text, (c) => {
        if (c < 0x80) {
            bytes[length++] = c;
        } else if (c < 0x800) {
            bytes[length++] = 0xc0 | (c >> 6);
            bytes[length++] = 0x80 | (c & 63);
        } else if (c < 0x10000) {
            bytes[length++] = 0xe0 | (c >> 12);
            bytes[length++] = 0x80 | ((c >> 6) & 63);
            bytes[length++] = 0x80 | (c & 63);
        } else {
            bytes[length++] = 0xf0 | (c >> 18);
            bytes[length++] = 0x80 | ((c >> 12) & 63);
            bytes[length++] = 0x80 | ((c >> 6) & 63);
            bytes[length++] = 0x80 | (c & 63);
        }
    });
    return bytes;
}

function DecodeUtf8(bytes) {
    let text = '';
    for (let i = 0; i < bytes.length;) {
        const b = bytes[i];
        const length = b < 0x80 ? 1 : b >= 0xf0 && b < 0xf8 ? 4 : b >= 0xe0 ? 3 : b >= 0xc0 ? 2 : 0;
        let c = length === 1 ? b : length === 2 ? b & 31 : length === 3 ? b & 15 : b & 7;
        let valid = length > 0 && i + length <= bytes.length;
        for (let k = 1; valid && k < length; ++k) {
            const next = bytes[i + k];
            valid = (next & 0xc0) === 0x80;
            c = (c << 6) | (next & 63);
        }
        if (!valid || c > 0x10ffff) {
            text += '\ufffd';
            i += 1;
        } else {
            text += String.fromCodePoint(c);
            i += length;
        }
    }
    return text;
}

/**
 * Splits a parse log into its diagnostics. The success message ends a clean log and is not a
 * diagnostic; when it is missing, the parse stopped at the last diagnostic, which is the error.
 */
export function ParseLog(log) {
    const diagnostics = [];
    let ok = false;
    for (const line of log.split('\n')) {
        const match = DIAGNOSTIC_LINE.exec(line);
        if (match === null) {
            // A message that spans lines continues the diagnostic above it.
            if (line !== '' && diagnostics.length > 0) diagnostics[diagnostics.length - 1].message += `\n${line}`;
            continue;
        }
        if (match[3].startsWith(SUCCESS_MESSAGE)) {
            ok = true;
            continue;
        }
        diagnostics.push({ line: Number(match[1]), column: Number(match[2]), message: match[3], severity: 'warning' });
    }
    if (!ok && diagnostics.length > 0) diagnostics[diagnostics.length - 1].severity = 'error';
    return { ok, diagnostics };
}

function CheckInteger(value, what) {
    if (!Number.isInteger(value) || value < -0x80000000 || value > 0x7fffffff) {
        throw new TypeError(`${what} must be a 32-bit integer, not ${value}`);
    }
    return value;
}

export class Morvanel {
    #exports;
    #instance;
    #scratch;          // byte address of SCRATCH_SAMPLES floats in the module's memory
    #pending;          // samples the engine produced while compiling, handed out by the next render
    #pendingCount = 0;
    #print;
    #lines = [[], [], []];  // bytes of the unfinished output line, per file descriptor
    #fault = null;
    #destroyed = false;

    /**
     * Compiles the WebAssembly module once, for hosts that create engines where nothing can be
     * fetched (an AudioWorkletProcessor): pass the result as `module`. Without an argument it loads
     * the module file of this package.
     */
    static async compile(source) {
        if (source instanceof WebAssembly.Module) return source;
        if (source === undefined) {
            defaultModule ??= LoadDefaultBytes().then((bytes) => WebAssembly.compile(bytes));
            try {
                return await defaultModule;
            } catch (error) {
                defaultModule = null;
                throw error;
            }
        }
        return WebAssembly.compile(source);
    }

    /** Creates an engine: `await Morvanel.create({ sampleRate: 48000 })`. */
    static async create(options = {}) {
        const module = await Morvanel.compile(options.module);
        const engine = new Morvanel(CONSTRUCTION, options);
        engine.#attach(await WebAssembly.instantiate(module, engine.#imports()));
        return engine;
    }

    /**
     * Creates an engine at once from a compiled module (Morvanel.compile gives one), for scopes
     * that cannot wait, such as an AudioWorkletProcessor's constructor.
     */
    static createSync(options = {}) {
        if (!(options.module instanceof WebAssembly.Module)) {
            throw new TypeError('createSync needs a compiled WebAssembly.Module (Morvanel.compile gives one)');
        }
        const engine = new Morvanel(CONSTRUCTION, options);
        engine.#attach(new WebAssembly.Instance(options.module, engine.#imports()));
        return engine;
    }

    /** Use Morvanel.create or Morvanel.createSync. */
    constructor(token, { sampleRate = 48000, print } = {}) {
        if (token !== CONSTRUCTION) throw new TypeError('use Morvanel.create() or Morvanel.createSync()');
        CheckInteger(sampleRate, 'sampleRate');
        if (sampleRate < 1) throw new RangeError(`sampleRate must be positive, not ${sampleRate}`);
        if (print !== undefined && typeof print !== 'function') throw new TypeError('print must be a function');
        this.#print = print ?? ((line) => console.log(line));
        this.sampleRate = sampleRate;
    }

    #attach(instance) {
        const exports = instance.exports;
        for (const name of REQUIRED_EXPORTS) {
            if (!(name in exports)) throw new MorvanelError(`the WebAssembly module lacks ${name}`);
        }
        this.#exports = exports;
        exports._initialize();
        if (exports.AmIAlive() !== 42) throw new MorvanelError('the WebAssembly module does not answer AmIAlive');
        this.#scratch = exports.malloc(SCRATCH_SAMPLES * 4);
        this.#instance = exports.NewInstance(this.sampleRate);
        if (this.#scratch === 0 || this.#instance <= 0) throw new MorvanelError('the engine could not be created');
        this.#pending = new Float32Array(Math.min(this.sampleRate, 1 << 16));
    }

    /**
     * Compiles a script (boxes, global commands; `run` voices start at once). The engine compiles
     * on its audio side, so this runs it for one sample; the next render returns that sample first.
     * Returns the compiler's log and its diagnostics with 1-based line and column.
     */
    parse(text) {
        if (typeof text !== 'string') throw new TypeError('parse takes the script as a string');
        return this.#call(() => {
            const serial = this.#withText(text, (address) => this.#exports.ParseString(address, this.#instance));
            if (serial === 0) throw new MorvanelError('the engine refused the script: its command queue is full');
            this.#tick();
            const log = this.#response(serial);
            this.#exports.GetResponseString(-1, this.#instance);  // the box report and key notices are not kept
            if (log === '') throw new MorvanelError('the engine returned no parse log');
            const { ok, diagnostics } = ParseLog(log);
            return { ok, log, diagnostics };
        });
    }

    /** Starts a voice from a start text ("lead" or "lead:60:0.5"); returns its id. */
    start(text) {
        if (typeof text !== 'string') throw new TypeError('start takes a start text');
        if (EncodeUtf8(text).length > MAX_START_TEXT) {
            throw new RangeError(`a start text holds at most ${MAX_START_TEXT} bytes: '${text}'`);
        }
        return this.#call(() => {
            const id = this.#withText(text, (address) => this.#exports.StartVoice(address, this.#instance));
            if (id === 0) throw new MorvanelError(`cannot start '${text}': the command queue is full`);
            return id;
        });
    }

    /** Releases a voice: its looping parts play their release and end. */
    release(id) {
        CheckInteger(id, 'a voice id');
        this.#call(() => this.#exports.ReleaseVoice(id, this.#instance));
    }

    /** Silences a voice at once. */
    stop(id) {
        CheckInteger(id, 'a voice id');
        this.#call(() => this.#exports.StopVoice(id, this.#instance));
    }

    /** Silences every voice. */
    stopAll() {
        this.#call(() => this.#exports.StopAllVoices(this.#instance));
    }

    /** Plays the box the script maps to `key` with `midikey`; velocity 0 to 127. */
    noteOn(key, velocity = 100) {
        CheckInteger(key, 'a MIDI key');
        CheckInteger(velocity, 'a velocity');
        this.#call(() => this.#exports.MidiNoteOn(key, velocity, this.#instance));
    }

    /** Releases the voices that noteOn started for `key`. */
    noteOff(key) {
        CheckInteger(key, 'a MIDI key');
        this.#call(() => this.#exports.MidiNoteOff(key, this.#instance));
    }

    /** Writes a global variable the script declared ("%d" or "d"). */
    setVariable(name, value) {
        if (typeof name !== 'string' || !/^%?[0-9A-Za-z]$/.test(name)) {
            throw new TypeError(`a variable is one letter or digit, as '%d': not '${name}'`);
        }
        if (typeof value !== 'number') throw new TypeError('a variable takes a number');
        const written = name.startsWith('%') ? name : `%${name}`;
        this.#call(() => this.#withText(written, (address) => this.#exports.SetVariable(address, value, this.#instance)));
    }

    /** The compiled boxes and their parameter letters: [{ name, parameters: ['p', ...] }]. */
    boxes() {
        return this.#call(() => {
            const report = this.#readText(this.#exports.ReportBoxesAsJson(this.#instance));
            if (report === '') throw new MorvanelError('the box report does not fit the engine\'s 16383-character buffer');
            return JSON.parse(report).map((box) => ({ name: box.Name, parameters: box.Parameters ?? [] }));
        });
    }

    /**
     * Stops every voice and drops boxes, key maps and commands not yet applied; the sample rate and
     * globals stay. It takes effect at once (the engine runs one sample, as for parse), so what is
     * called after it is kept.
     */
    reset() {
        this.#call(() => {
            this.#exports.ResetEngine(this.#instance);
            this.#tick();
        });
    }

    /** Voices still playing after the last render: 0 once a one-shot sound is over. */
    activeVoices() {
        return this.#call(() => this.#exports.MorvanelActiveVoices(this.#instance));
    }

    /** Renders `count` samples into a new Float32Array. */
    render(count) {
        CheckInteger(count, 'a sample count');
        if (count < 0) throw new RangeError('a sample count cannot be negative');
        const out = new Float32Array(count);
        this.renderInto(out);
        return out;
    }

    /** Renders into `out`, filling it whole; allocates nothing (for audio callbacks). */
    renderInto(out) {
        if (!(out instanceof Float32Array)) throw new TypeError('renderInto fills a Float32Array');
        this.#call(() => {
            let done = 0;
            if (this.#pendingCount > 0) {
                done = Math.min(this.#pendingCount, out.length);
                out.set(this.#pending.subarray(0, done));
                this.#pending.copyWithin(0, done, this.#pendingCount);
                this.#pendingCount -= done;
            }
            while (done < out.length) {
                const n = Math.min(SCRATCH_SAMPLES, out.length - done);
                this.#exports.GetBuffer(n, this.#scratch, this.#instance);
                out.set(new Float32Array(this.#exports.memory.buffer, this.#scratch, n), done);
                done += n;
            }
            this.#exports.fflush(0);
        });
        return out;
    }

    /** Null while the engine works; the fault's message once it has stopped after one. */
    get fault() {
        return this.#fault === null ? null : this.#fault.message;
    }

    /** Frees the engine and its WebAssembly instance; the object is unusable afterwards. */
    destroy() {
        if (this.#destroyed) return;
        this.#destroyed = true;
        if (this.#fault === null) {
            try {
                this.#exports.DestroyInstance(this.#instance);
                this.#exports.fflush(0);
            } catch {
                // The instance is dropped whole below; a fault while freeing changes nothing.
            }
        }
        this.#exports = null;
    }

    #call(body) {
        if (this.#destroyed) throw new MorvanelError('the engine has been destroyed');
        if (this.#fault !== null) throw new MorvanelError(`the engine stopped after a fault: ${this.#fault.message}`);
        try {
            return body();
        } catch (error) {
            if (error instanceof WebAssembly.RuntimeError || error instanceof ExitSignal) {
                this.#fault = error;
                throw new MorvanelError(`the engine stopped after a fault: ${error.message}`, { cause: error });
            }
            throw error;
        } finally {
            this.#flushLines();
        }
    }

    // Diagnostics may lack a final line break; what a call printed is handed on when it returns.
    #flushLines() {
        for (let slot = 1; slot <= 2; ++slot) {
            const line = this.#lines[slot];
            if (line.length === 0) continue;
            const text = DecodeUtf8(line);
            line.length = 0;
            this.#print(text, slot === 2 ? 'stderr' : 'stdout');
        }
    }

    // One sample, kept for the next render: the engine applies queued commands only while rendering.
    #tick() {
        this.#exports.GetBuffer(1, this.#scratch, this.#instance);
        if (this.#pendingCount === this.#pending.length) {
            // Compiles without renders in between: the oldest kept samples give way.
            this.#pending.copyWithin(0, 1);
            this.#pendingCount -= 1;
        }
        this.#pending[this.#pendingCount++] = new Float32Array(this.#exports.memory.buffer, this.#scratch, 1)[0];
    }

    #response(serial) {
        return this.#readText(this.#exports.GetResponseString(serial, this.#instance));
    }

    #withText(text, use) {
        const bytes = EncodeUtf8(text);
        const address = this.#exports.malloc(bytes.length + 1);
        if (address === 0) throw new MorvanelError('the engine is out of memory');
        try {
            const memory = new Uint8Array(this.#exports.memory.buffer);
            memory.set(bytes, address);
            memory[address + bytes.length] = 0;
            return use(address);
        } finally {
            if (this.#fault === null && this.#exports !== null) this.#exports.free(address);
        }
    }

    #readText(address) {
        const memory = new Uint8Array(this.#exports.memory.buffer);
        let end = address;
        while (memory[end] !== 0) ++end;
        return DecodeUtf8(memory.subarray(address, end));
    }

    #imports() {
        const memory = () => this.#exports.memory.buffer;
        return {
            wasi_snapshot_preview1: {
                fd_write: (fd, iovs, iovsLength, writtenAddress) => {
                    const view = new DataView(memory());
                    let written = 0;
                    for (let i = 0; i < iovsLength; ++i) {
                        const base = view.getUint32(iovs + i * 8, true);
                        const length = view.getUint32(iovs + i * 8 + 4, true);
                        this.#output(fd, new Uint8Array(memory(), base, length));
                        written += length;
                    }
                    view.setUint32(writtenAddress, written, true);
                    return WASI_ESUCCESS;
                },
                fd_seek: () => WASI_ESPIPE,
                fd_close: () => WASI_EBADF,
                clock_time_get: (clock, precision, timeAddress) => {
                    new DataView(memory()).setBigUint64(timeAddress, BigInt(Date.now()) * 1000000n, true);
                    return WASI_ESUCCESS;
                },
                proc_exit: (code) => {
                    throw new ExitSignal(`the engine aborted (exit status ${code})`);
                },
            },
            env: {
                emscripten_notify_memory_growth: () => {},
            },
        };
    }

    // What the engine prints (diagnostics, print items, warnings) goes to `print` line by line.
    #output(fd, bytes) {
        const slot = fd === 2 ? 2 : 1;
        const line = this.#lines[slot];
        for (const byte of bytes) {
            if (byte !== 10 && line.length < MAX_LINE_BYTES) {
                line.push(byte);
                continue;
            }
            const text = DecodeUtf8(line);
            line.length = 0;
            this.#print(text, slot === 2 ? 'stderr' : 'stdout');
        }
    }
}
