// What the module's and the page's tests share: the examples, the native reference renders, and
// the comparison that names the first differing sample.
import { execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, readdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const EXAMPLES = path.join(ROOT, 'examples');
export const SAMPLE_RATE = 48000;
export const SECONDS = 4;

// Examples that start nothing themselves are rendered with these start texts.
const START_TEXTS = { 'pad.mv': ['pad:a3'] };

const REFERENCE = process.env.MORVANEL_WEB_REFERENCE
    ?? path.join(ROOT, 'build/web-native/web/morvanel_web_reference');

/** Every example with its text and the start texts it is rendered with. */
export function Examples() {
    return readdirSync(EXAMPLES).filter((name) => name.endsWith('.mv')).sort().map((name) => {
        const text = readFileSync(path.join(EXAMPLES, name), 'utf8');
        const voices = START_TEXTS[name] ?? [];
        if (voices.length === 0 && !/^\s*run\s*\(/m.test(text)) {
            throw new Error(`${name} starts no voice: give it start texts in tests/support.mjs`);
        }
        return { name, text, voices };
    });
}

/**
 * Renders a script file with the native library (the reference renderer built next to
 * libmorvanel.so), with the C random generator seeded with `seed`.
 */
export function NativeRender(scriptPath, samples, voices, seed) {
    if (!existsSync(REFERENCE)) {
        throw new Error(`the native reference renderer is missing at ${REFERENCE}: run scripts/web.sh build`);
    }
    const directory = mkdtempSync(path.join(tmpdir(), 'morvanel-reference-'));
    try {
        const out = path.join(directory, 'samples.f32');
        execFileSync(REFERENCE, ['--seed', String(seed), scriptPath, String(samples), out, ...voices],
            { stdio: ['ignore', 'ignore', 'inherit'] });
        const bytes = readFileSync(out);
        return new Float32Array(bytes.buffer, bytes.byteOffset, bytes.byteLength / 4).slice();
    } finally {
        rmSync(directory, { recursive: true, force: true });
    }
}

/**
 * The native render of each example, and whether it draws random numbers: two renders with
 * different seeds differ exactly when it does.
 */
export function NativeRenders(samples = SAMPLE_RATE * SECONDS) {
    return Examples().map((example) => {
        const file = path.join(EXAMPLES, example.name);
        const first = NativeRender(file, samples, example.voices, 1);
        const second = NativeRender(file, samples, example.voices, 2);
        return { ...example, samples: first, random: FirstDifference(first, second) !== null };
    });
}

/** Null when both hold the same samples bit for bit; otherwise where and how they first differ. */
export function FirstDifference(actual, expected) {
    if (actual.length !== expected.length) return `lengths differ: ${actual.length} and ${expected.length}`;
    const a = new Uint32Array(actual.buffer, actual.byteOffset, actual.length);
    const b = new Uint32Array(expected.buffer, expected.byteOffset, expected.length);
    for (let i = 0; i < a.length; ++i) {
        if (a[i] !== b[i]) return `sample ${i}: ${actual[i]} where the native library gives ${expected[i]}`;
    }
    return null;
}

export function Peak(samples) {
    let peak = 0;
    for (const sample of samples) peak = Math.max(peak, Math.abs(sample));
    return peak;
}
