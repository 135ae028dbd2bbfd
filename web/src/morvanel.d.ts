// Types of the Morvanel engine for JavaScript (src/morvanel.js).

/** A compiler message, with a 1-based position in the script. */
export interface Diagnostic {
    line: number;
    column: number;
    message: string;
    /** 'error' for the message that stopped the parse; 'warning' for the others. */
    severity: 'error' | 'warning';
}

export interface ParseResult {
    /** True when the whole script compiled. */
    ok: boolean;
    /** The compiler's log as the engine wrote it. */
    log: string;
    /** Every message of the log but the success message. */
    diagnostics: Diagnostic[];
}

export interface BoxInfo {
    name: string;
    /** The box's parameter letters, in order: ['p', 'l'] for "note:%p:%l". */
    parameters: string[];
}

export interface MorvanelOptions {
    /** Samples per second; 48000 when omitted. */
    sampleRate?: number;
    /** A compiled module (Morvanel.compile) or its bytes; the package's own file when omitted. */
    module?: WebAssembly.Module | BufferSource;
    /** Receives each line the engine prints (diagnostics, print items, warnings); console.log when omitted. */
    print?: (line: string, stream: 'stdout' | 'stderr') => void;
}

/** Raised for every failure of the module or the engine. */
export class MorvanelError extends Error {}

/** Splits a parse log into its diagnostics. */
export function ParseLog(log: string): { ok: boolean; diagnostics: Diagnostic[] };

export class Morvanel {
    /** Compiles the WebAssembly module; without an argument, the package's own file. */
    static compile(source?: WebAssembly.Module | BufferSource): Promise<WebAssembly.Module>;
    /** Creates an engine with its own WebAssembly instance. */
    static create(options?: MorvanelOptions): Promise<Morvanel>;
    /** Creates an engine at once from a compiled module (for an AudioWorkletProcessor's constructor). */
    static createSync(options: MorvanelOptions & { module: WebAssembly.Module }): Morvanel;

    private constructor();

    readonly sampleRate: number;
    /** Null while the engine works; the fault's message once it has stopped after one. */
    readonly fault: string | null;

    /**
     * Compiles a script. The engine applies commands only while it renders, so this runs it for one
     * sample, which the next render returns first; commands given after it apply from the sample
     * after that one.
     */
    parse(text: string): ParseResult;
    /** Starts a voice from a start text ("lead" or "lead:60:0.5", at most 31 bytes); returns its id. */
    start(text: string): number;
    release(id: number): void;
    stop(id: number): void;
    stopAll(): void;
    /** Plays the box mapped to `key` by the script's midikey; velocity 0 to 127 (100 when omitted). */
    noteOn(key: number, velocity?: number): void;
    noteOff(key: number): void;
    /** Writes a global variable the script declared: "%d" or "d". */
    setVariable(name: string, value: number): void;
    boxes(): BoxInfo[];
    /** Stops every voice, drops boxes, key maps and pending commands, at once (one sample, as parse). */
    reset(): void;
    /** Voices still playing after the last render. */
    activeVoices(): number;
    render(count: number): Float32Array;
    /** Fills `out` whole without allocating. */
    renderInto(out: Float32Array): Float32Array;
    destroy(): void;
}
