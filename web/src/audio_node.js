// The page's side of the engine: an AudioWorkletNode whose processor (worklet.js) owns the engine on
// the audio rendering thread. Every method sends one request through the node's port and resolves
// with the engine's answer; nothing here touches the engine itself.
import { Morvanel, MorvanelError } from './morvanel.js';

const WORKLET_URL = new URL('./worklet.js', import.meta.url);
const loadedContexts = new WeakMap();

function LoadWorklet(context) {
    let loading = loadedContexts.get(context);
    if (loading === undefined) {
        loading = context.audioWorklet.addModule(WORKLET_URL);
        loadedContexts.set(context, loading);
    }
    return loading;
}

export class MorvanelNode {
    #pending = new Map();
    #nextId = 1;
    #fault = null;

    /**
     * Adds the processor to `context` (once per context) and creates a node with its own engine.
     * options: module (from Morvanel.compile; compiled here when missing), script and voices (compiled
     * and started before the first block), levelBlocks (blocks between level reports).
     * Resolves once the engine exists; rejects if it could not be created.
     */
    static async create(context, { module, script, voices, levelBlocks } = {}) {
        const [compiled] = await Promise.all([Morvanel.compile(module), LoadWorklet(context)]);
        const node = new AudioWorkletNode(context, 'morvanel', {
            numberOfInputs: 0,
            numberOfOutputs: 1,
            outputChannelCount: [1],
            processorOptions: { module: compiled, script, voices, levelBlocks },
        });
        const wrapper = new MorvanelNode(node);
        wrapper.parsed = await wrapper.#ready;
        return wrapper;
    }

    #ready;

    constructor(node) {
        this.node = node;
        /** Called with each line the engine prints. */
        this.onprint = null;
        /** Called with { peak, voices } about 40 times a second while the context runs. */
        this.onlevel = null;
        /** Called once with a message if the engine stops after a fault. */
        this.onfault = null;
        this.#ready = new Promise((resolve, reject) => {
            this.#pending.set(0, { resolve: (message) => resolve(message.parsed), reject });
        });
        node.port.onmessage = (event) => this.#receive(event.data);
        node.onprocessorerror = () => this.#failed('the audio processor stopped with an error');
    }

    parse(text) { return this.#request('parse', text); }
    start(text) { return this.#request('start', text); }
    release(id) { return this.#request('release', id); }
    stop(id) { return this.#request('stop', id); }
    stopAll() { return this.#request('stopAll'); }
    noteOn(key, velocity = 100) { return this.#request('noteOn', key, velocity); }
    noteOff(key) { return this.#request('noteOff', key); }
    setVariable(name, value) { return this.#request('setVariable', name, value); }
    boxes() { return this.#request('boxes'); }
    reset() { return this.#request('reset'); }
    activeVoices() { return this.#request('activeVoices'); }

    /** Frees the engine and disconnects the node (also after a fault). */
    async destroy() {
        try {
            if (this.#fault === null) await this.#request('destroy');
        } finally {
            this.node.disconnect();
        }
    }

    connect(...args) { return this.node.connect(...args); }
    disconnect(...args) { return this.node.disconnect(...args); }

    #request(method, ...args) {
        if (this.#fault !== null) return Promise.reject(new MorvanelError(this.#fault));
        const id = this.#nextId++;
        return new Promise((resolve, reject) => {
            this.#pending.set(id, { resolve, reject });
            this.node.port.postMessage({ id, method, args });
        });
    }

    #receive(message) {
        switch (message.type) {
            case 'ready':
                this.#settle(0, message);
                break;
            case 'result':
                if (message.error !== undefined) {
                    this.#pending.get(message.id)?.reject(new MorvanelError(message.error));
                    this.#pending.delete(message.id);
                } else {
                    this.#settle(message.id, message.result);
                }
                break;
            case 'print':
                this.onprint?.(message.text);
                break;
            case 'level':
                this.onlevel?.({ peak: message.peak, voices: message.voices });
                break;
            case 'fault':
                this.#failed(message.message);
                break;
            default:
                break;
        }
    }

    #settle(id, value) {
        this.#pending.get(id)?.resolve(value);
        this.#pending.delete(id);
    }

    #failed(message) {
        if (this.#fault !== null) return;
        this.#fault = `the engine stopped: ${message}`;
        for (const { reject } of this.#pending.values()) reject(new MorvanelError(this.#fault));
        this.#pending.clear();
        this.onfault?.(this.#fault);
    }
}
