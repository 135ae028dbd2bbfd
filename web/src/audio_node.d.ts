// Types of the page's side of the engine (src/audio_node.js).
import type { BoxInfo, ParseResult } from './morvanel.js';

export interface MorvanelNodeOptions {
    /** A compiled module (Morvanel.compile); compiled from the package's file when omitted. */
    module?: WebAssembly.Module;
    /** A script compiled before the first block (for exact offline renders). */
    script?: string;
    /** Start texts started right after the script. */
    voices?: string[];
    /** Blocks of 128 samples between two level reports (8 when omitted). */
    levelBlocks?: number;
}

export interface Level {
    /** The largest magnitude of the samples since the last report. */
    peak: number;
    voices: number;
}

export class MorvanelNode {
    static create(context: BaseAudioContext, options?: MorvanelNodeOptions): Promise<MorvanelNode>;
    private constructor();

    readonly node: AudioWorkletNode;
    /** The result of compiling options.script, or null without one. */
    readonly parsed: ParseResult | null;
    onprint: ((line: string) => void) | null;
    onlevel: ((level: Level) => void) | null;
    onfault: ((message: string) => void) | null;

    parse(text: string): Promise<ParseResult>;
    start(text: string): Promise<number>;
    release(id: number): Promise<void>;
    stop(id: number): Promise<void>;
    stopAll(): Promise<void>;
    noteOn(key: number, velocity?: number): Promise<void>;
    noteOff(key: number): Promise<void>;
    setVariable(name: string, value: number): Promise<void>;
    boxes(): Promise<BoxInfo[]>;
    reset(): Promise<void>;
    activeVoices(): Promise<number>;
    destroy(): Promise<void>;
    connect(destination: AudioNode, output?: number, input?: number): AudioNode;
    disconnect(): void;
}
