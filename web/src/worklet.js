// The engine on the audio rendering thread: an AudioWorkletProcessor registered as 'morvanel'.
// The page never touches the engine; it sends requests through the node's port
// ({ id, method, args }) and gets { type: 'result', id, result | error } back, plus 'print' lines,
// 'level' reports (peak of the last blocks and the voice count) and one 'fault' if the engine stops.
// processorOptions: { module (a compiled WebAssembly.Module), script?, voices?, levelBlocks? }; a
// script given here is compiled and its voices started before the first block, so offline renders
// begin exactly where a native host's would.
import { Morvanel } from './morvanel.js';

// The requests the port accepts, with the engine method each calls.
const METHODS = new Set([
    'parse', 'start', 'release', 'stop', 'stopAll', 'noteOn', 'noteOff', 'setVariable', 'boxes', 'reset',
    'activeVoices',
]);

// Blocks of 128 samples between two level reports: about 43 reports a second at 48 kHz.
const DEFAULT_LEVEL_BLOCKS = 8;

class MorvanelProcessor extends AudioWorkletProcessor {
    constructor(options) {
        super();
        const settings = options.processorOptions ?? {};
        this.engine = null;
        this.destroyed = false;
        this.failure = undefined;
        this.levelBlocks = settings.levelBlocks ?? DEFAULT_LEVEL_BLOCKS;
        this.blocks = 0;
        this.peak = 0;
        this.port.onmessage = (event) => this.handle(event.data);
        try {
            this.engine = Morvanel.createSync({
                sampleRate,
                module: settings.module,
                print: (text) => this.port.postMessage({ type: 'print', text }),
            });
            let parsed = null;
            if (typeof settings.script === 'string') parsed = this.engine.parse(settings.script);
            for (const voice of settings.voices ?? []) this.engine.start(voice);
            this.port.postMessage({ type: 'ready', parsed });
        } catch (error) {
            this.fail(error);
        }
    }

    handle(request) {
        if (request === null || typeof request !== 'object') return;
        const { id, method, args = [] } = request;
        if (method === 'destroy') {
            this.engine?.destroy();
            this.engine = null;
            this.destroyed = true;
            this.port.postMessage({ type: 'result', id, result: undefined });
            return;
        }
        try {
            if (!METHODS.has(method)) throw new TypeError(`unknown request '${method}'`);
            if (this.engine === null) throw new Error(this.failure ?? 'the engine is not running');
            const result = this.engine[method](...args);
            this.port.postMessage({ type: 'result', id, result });
        } catch (error) {
            this.port.postMessage({ type: 'result', id, error: String(error.message ?? error) });
            if (this.engine?.fault) this.fail(error);
        }
    }

    fail(error) {
        if (this.failure !== undefined) return;
        this.failure = String(error.message ?? error);
        this.port.postMessage({ type: 'fault', message: this.failure });
        this.engine = null;
    }

    process(inputs, outputs) {
        const channels = outputs[0];
        const out = channels[0];
        if (this.engine === null) {
            for (const channel of channels) channel.fill(0);
            return !this.destroyed;
        }
        try {
            this.engine.renderInto(out);
        } catch (error) {
            out.fill(0);
            this.fail(error);
        }
        for (let c = 1; c < channels.length; ++c) channels[c].set(out);
        for (let i = 0; i < out.length; ++i) {
            const magnitude = Math.abs(out[i]);
            if (magnitude > this.peak) this.peak = magnitude;
        }
        if (++this.blocks >= this.levelBlocks && this.engine !== null) {
            this.port.postMessage({ type: 'level', peak: this.peak, voices: this.engine.activeVoices() });
            this.blocks = 0;
            this.peak = 0;
        }
        return true;
    }
}

registerProcessor('morvanel', MorvanelProcessor);
