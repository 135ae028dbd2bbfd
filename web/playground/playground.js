// The playground page. The engine lives in an AudioWorkletProcessor (morvanel/src/worklet.js); this
// thread only compiles the WebAssembly module once, sends requests through the node's port, draws
// the output and handles keys, MIDI, examples, the address bar and WAV downloads.
import { Morvanel } from './morvanel/src/morvanel.js';
import { MorvanelNode } from './morvanel/src/audio_node.js';
import { Editor } from './editor.js';
import { EncodeWav, TrimSilence } from './wav.js';

const SAMPLE_RATE = 48000;
const DEFAULT_EXAMPLE = 'coin.mv';
const MAX_RENDER_SECONDS = 120;
// Computer keys laid out as a piano: the home row holds the white keys, the row above the black.
const PIANO_KEYS = 'awsedftgyhujkolp;\'';
const MAX_LOG_LINES = 500;

const $ = (selector) => document.querySelector(selector);

const moduleReady = Morvanel.compile();
let audio = null;        // { context, node, analyser } once the first gesture started audio
let startingAudio = null;
let octave = 0;
const heldKeys = new Map();  // computer key -> MIDI note it started
let exampleName = DEFAULT_EXAMPLE;

const editor = new Editor($('#editor'), {
    onChange: () => ScheduleAddressUpdate(),
    onRun: () => Play(),
});

function Log(text, kind = '') {
    const log = $('#log');
    const line = document.createElement('div');
    line.textContent = text;
    if (kind) line.className = kind;
    log.append(line);
    while (log.childElementCount > MAX_LOG_LINES) log.firstElementChild.remove();
    log.scrollTop = log.scrollHeight;
}

function ReportFailure(error) {
    const message = error instanceof Error ? error.message : String(error);
    Log(message, 'error');
    SetStatus(message, 'error');
}

function SetStatus(text, kind) {
    const status = $('#status');
    status.textContent = text;
    status.className = kind;
}

// Audio starts on the first gesture (browsers refuse it earlier): one context, one engine.
function EnsureAudio() {
    if (startingAudio === null) {
        startingAudio = (async () => {
            const context = new AudioContext({ sampleRate: SAMPLE_RATE, latencyHint: 'interactive' });
            let node;
            try {
                node = await MorvanelNode.create(context, { module: await moduleReady });
            } catch (error) {
                context.close();
                throw error;
            }
            const analyser = new AnalyserNode(context, { fftSize: 2048, smoothingTimeConstant: 0.6 });
            node.connect(analyser);
            analyser.connect(context.destination);
            node.onprint = (line) => Log(line);
            node.onlevel = ShowLevel;
            node.onfault = (message) => ReportFailure(new Error(message));
            audio = { context, node, analyser };
            requestAnimationFrame(Draw);
            return audio;
        })();
        // A failed start is reported by the caller; the next gesture tries again.
        startingAudio.catch(() => {
            startingAudio = null;
        });
    }
    return startingAudio.then(async (ready) => {
        if (ready.context.state !== 'running') await ready.context.resume();
        return ready;
    });
}

function ShowDiagnostics(result) {
    editor.setDiagnostics(result.diagnostics);
    const list = $('#diagnostics');
    list.replaceChildren(...result.diagnostics.map((diagnostic) => {
        const item = document.createElement('li');
        item.className = diagnostic.severity;
        item.textContent = `line ${diagnostic.line}, column ${diagnostic.column}: ${diagnostic.message}`;
        item.addEventListener('click', () => editor.focusAt(diagnostic.line, diagnostic.column));
        return item;
    }));
    const error = result.diagnostics.find((diagnostic) => diagnostic.severity === 'error');
    if (result.ok) {
        const warnings = result.diagnostics.length;
        SetStatus(warnings === 0 ? 'Compiled.' : `Compiled with ${warnings} warning${warnings > 1 ? 's' : ''}.`, 'ok');
    } else if (error !== undefined) {
        SetStatus(`Error on line ${error.line}, column ${error.column}: ${error.message}`, 'error');
    } else {
        SetStatus('The script did not compile.', 'error');
    }
}

async function Play() {
    // Cleared at once, so that nobody reads the last script's result as this one's.
    SetStatus('Compiling\u2026', 'busy');
    try {
        const { node } = await EnsureAudio();
        // Play means this script alone: boxes, key maps and voices of earlier scripts go first.
        await node.reset();
        const result = await node.parse(editor.value);
        ShowDiagnostics(result);
        ShowBoxes(await node.boxes());
    } catch (error) {
        ReportFailure(error);
    }
}

function ShowBoxes(boxes) {
    const list = $('#boxes');
    if (boxes.length === 0) {
        list.innerHTML = '<li class="empty">The script defines no boxes.</li>';
        return;
    }
    list.replaceChildren(...boxes.map((box) => {
        const item = document.createElement('li');
        item.dataset.box = box.name;
        const play = document.createElement('button');
        play.textContent = '\u25b6';
        play.title = `Start ${box.name}`;
        const name = document.createElement('span');
        name.className = 'name';
        name.textContent = box.name;
        const args = document.createElement('input');
        args.type = 'text';
        args.placeholder = box.parameters.map((letter) => `%${letter}`).join(':');
        args.disabled = box.parameters.length === 0;
        args.setAttribute('aria-label', `Arguments of ${box.name}`);
        const start = async () => {
            const text = args.value.trim() === '' ? box.name : `${box.name}:${args.value.trim()}`;
            try {
                const { node } = await EnsureAudio();
                const id = await node.start(text);
                Log(`started ${text} (voice ${id})`);
            } catch (error) {
                ReportFailure(error);
            }
        };
        play.addEventListener('click', start);
        args.addEventListener('keydown', (event) => {
            if (event.key === 'Enter') start();
        });
        item.append(play, name, args);
        return item;
    }));
}

function ShowLevel({ peak, voices }) {
    const level = $('#level');
    level.dataset.peak = String(peak);
    level.dataset.voices = String(voices);
    const decibels = peak > 0 ? `${(20 * Math.log10(peak)).toFixed(1)} dBFS` : 'silent';
    level.textContent = `${voices} voice${voices === 1 ? '' : 's'}, peak ${decibels}`;
}

function Draw() {
    if (audio === null) return;
    const { analyser } = audio;
    const scope = $('#scope');
    const spectrum = $('#spectrum');
    const wave = new Float32Array(analyser.fftSize);
    analyser.getFloatTimeDomainData(wave);
    const bins = new Uint8Array(analyser.frequencyBinCount);
    analyser.getByteFrequencyData(bins);

    let g = scope.getContext('2d');
    g.fillStyle = '#0f1115';
    g.fillRect(0, 0, scope.width, scope.height);
    g.strokeStyle = '#5cb6ff';
    g.beginPath();
    // The engine's mix peaks at 0.1 for one full voice, so the scope shows ten times the signal.
    for (let x = 0; x < scope.width; ++x) {
        const sample = wave[Math.floor((x / scope.width) * wave.length)] * 10;
        const y = (0.5 - Math.max(-1, Math.min(1, sample)) / 2) * scope.height;
        if (x === 0) g.moveTo(x, y);
        else g.lineTo(x, y);
    }
    g.stroke();

    g = spectrum.getContext('2d');
    g.fillStyle = '#0f1115';
    g.fillRect(0, 0, spectrum.width, spectrum.height);
    g.fillStyle = '#c792ea';
    // Logarithmic frequency axis from about 20 Hz to the top bin.
    const top = bins.length - 1;
    for (let x = 0; x < spectrum.width; ++x) {
        const bin = Math.min(top, Math.round(Math.pow(top, x / spectrum.width)));
        const height = (bins[bin] / 255) * spectrum.height;
        g.fillRect(x, spectrum.height - height, 1, height);
    }
    requestAnimationFrame(Draw);
}

// Keys and MIDI reach the engine as MIDI notes; the script's midikey maps decide what plays.
function NoteOfKey(key) {
    const index = PIANO_KEYS.indexOf(key);
    return index < 0 ? null : 60 + 12 * octave + index;
}

function ShowKeys() {
    const low = 60 + 12 * octave;
    $('#keys').textContent = `Keys ${PIANO_KEYS.toUpperCase()} play MIDI notes ${low} to ${low + PIANO_KEYS.length - 1} `
        + `through the script's midikey maps; Z and X change the octave (now ${octave >= 0 ? '+' : ''}${octave}).`;
}

function TypingInField(event) {
    const target = event.target;
    return target instanceof HTMLTextAreaElement || target instanceof HTMLInputElement || target instanceof HTMLSelectElement;
}

async function KeyDown(event) {
    if (TypingInField(event) || event.ctrlKey || event.metaKey || event.altKey || event.repeat) return;
    const key = event.key.toLowerCase();
    if (key === 'z' || key === 'x') {
        octave = Math.max(-4, Math.min(4, octave + (key === 'z' ? -1 : 1)));
        ShowKeys();
        return;
    }
    const note = NoteOfKey(key);
    if (note === null || heldKeys.has(key)) return;
    event.preventDefault();
    heldKeys.set(key, note);
    try {
        const { node } = await EnsureAudio();
        await node.noteOn(note, 100);
    } catch (error) {
        ReportFailure(error);
    }
}

async function KeyUp(event) {
    const key = event.key.toLowerCase();
    const note = heldKeys.get(key);
    if (note === undefined) return;
    heldKeys.delete(key);
    try {
        await audio?.node.noteOff(note);
    } catch (error) {
        ReportFailure(error);
    }
}

function ReleaseHeldKeys() {
    for (const note of heldKeys.values()) audio?.node.noteOff(note).catch(ReportFailure);
    heldKeys.clear();
}

async function ConnectMidi() {
    if (typeof navigator.requestMIDIAccess !== 'function') {
        Log('Web MIDI is not available in this browser.', 'error');
        return;
    }
    try {
        const access = await navigator.requestMIDIAccess();
        const { node } = await EnsureAudio();
        const listen = (input) => {
            input.onmidimessage = ({ data }) => {
                const [status, note, velocity] = data;
                const kind = status & 0xf0;
                if (kind === 0x90 && velocity > 0) node.noteOn(note, velocity).catch(ReportFailure);
                else if (kind === 0x80 || (kind === 0x90 && velocity === 0)) node.noteOff(note).catch(ReportFailure);
            };
        };
        access.inputs.forEach(listen);
        access.onstatechange = ({ port }) => {
            if (port.type === 'input' && port.state === 'connected') listen(port);
        };
        const names = [...access.inputs.values()].map((input) => input.name);
        Log(names.length === 0 ? 'MIDI connected; no input yet.' : `MIDI inputs: ${names.join(', ')}`);
    } catch (error) {
        ReportFailure(new Error(`MIDI access refused: ${error.message}`));
    }
}

/**
 * Renders `script` (its run voices, then `voices`) for `length` samples in an OfflineAudioContext
 * with its own engine, and returns the samples with the parse result.
 */
async function RenderOffline(script, voices, length) {
    const context = new OfflineAudioContext(1, length, SAMPLE_RATE);
    const node = await MorvanelNode.create(context, { module: await moduleReady, script, voices, levelBlocks: 1 << 30 });
    const printed = [];
    node.onprint = (line) => printed.push(line);
    node.connect(context.destination);
    const buffer = await context.startRendering();
    return { parsed: node.parsed, samples: buffer.getChannelData(0), printed };
}

async function RenderWav() {
    const seconds = Number($('#render-seconds').value);
    if (!(seconds > 0 && seconds <= MAX_RENDER_SECONDS)) {
        ReportFailure(new Error(`Render between 0.1 and ${MAX_RENDER_SECONDS} seconds.`));
        return;
    }
    const voice = $('#render-voice').value.trim();
    try {
        const { parsed, samples } = await RenderOffline(editor.value, voice === '' ? [] : [voice], Math.round(seconds * SAMPLE_RATE));
        ShowDiagnostics(parsed);
        if (!parsed.ok) return;
        const trimmed = TrimSilence(samples);
        const url = URL.createObjectURL(new Blob([EncodeWav(trimmed, SAMPLE_RATE)], { type: 'audio/wav' }));
        const link = document.createElement('a');
        link.href = url;
        link.download = exampleName.replace(/\.mv$/, '') + '.wav';
        link.click();
        setTimeout(() => URL.revokeObjectURL(url), 10000);
        Log(`rendered ${(trimmed.length / SAMPLE_RATE).toFixed(2)} s to ${link.download}`);
    } catch (error) {
        ReportFailure(error);
    }
}

// The script travels in the address: #z= deflate-compressed, #t= plain, both base64url.
function ToBase64Url(bytes) {
    let binary = '';
    for (const byte of bytes) binary += String.fromCharCode(byte);
    return btoa(binary).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
}

function FromBase64Url(text) {
    const binary = atob(text.replace(/-/g, '+').replace(/_/g, '/'));
    return Uint8Array.from(binary, (c) => c.charCodeAt(0));
}

async function Transform(bytes, stream) {
    return new Uint8Array(await new Response(new Blob([bytes]).stream().pipeThrough(stream)).arrayBuffer());
}

async function EncodeAddress(script) {
    const bytes = new TextEncoder().encode(script);
    if (typeof CompressionStream === 'function') return `#z=${ToBase64Url(await Transform(bytes, new CompressionStream('deflate-raw')))}`;
    return `#t=${ToBase64Url(bytes)}`;
}

async function DecodeAddress(hash) {
    const match = /^#([zt])=(.*)$/.exec(hash);
    if (match === null) return null;
    let bytes = FromBase64Url(match[2]);
    if (match[1] === 'z') bytes = await Transform(bytes, new DecompressionStream('deflate-raw'));
    return new TextDecoder().decode(bytes);
}

let addressTimer = 0;
function ScheduleAddressUpdate() {
    clearTimeout(addressTimer);
    addressTimer = setTimeout(async () => {
        history.replaceState(null, '', await EncodeAddress(editor.value));
    }, 250);
}

async function LoadExample(name) {
    const response = await fetch(`examples/${encodeURIComponent(name)}`);
    if (!response.ok) throw new Error(`cannot load example ${name}: HTTP ${response.status}`);
    exampleName = name;
    editor.value = await response.text();
    ScheduleAddressUpdate();
}

async function Start() {
    ShowKeys();
    const picker = $('#example');
    const response = await fetch('examples/index.json');
    if (!response.ok) throw new Error(`cannot load the example list: HTTP ${response.status}`);
    const names = await response.json();
    picker.replaceChildren(new Option('(choose)', ''), ...names.map((name) => new Option(name.replace(/\.mv$/, ''), name)));
    picker.addEventListener('change', () => {
        if (picker.value !== '') LoadExample(picker.value).catch(ReportFailure);
    });

    let shared = null;
    try {
        shared = await DecodeAddress(location.hash);
    } catch (error) {
        ReportFailure(new Error(`the address does not hold a readable script: ${error.message}`));
    }
    if (shared !== null) {
        exampleName = 'script.mv';
        editor.value = shared;
    } else {
        picker.value = DEFAULT_EXAMPLE;
        await LoadExample(DEFAULT_EXAMPLE);
    }

    $('#play').addEventListener('click', Play);
    $('#stop').addEventListener('click', () => audio?.node.stopAll().catch(ReportFailure));
    $('#render').addEventListener('click', RenderWav);
    $('#midi').addEventListener('click', ConnectMidi);
    document.addEventListener('keydown', KeyDown);
    document.addEventListener('keyup', KeyUp);
    window.addEventListener('blur', ReleaseHeldKeys);
    document.body.dataset.ready = 'true';
}

// For tests and the console: offline renders with the page's own engine code.
window.morvanelPlayground = { RenderOffline };

Start().catch(ReportFailure);
