// The WebAssembly module through its JavaScript API, in Node: renders against the native library,
// the compiler's messages, the calls that drive voices, bad input, and the packed npm package.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { describe, test } from 'node:test';

import { Morvanel, MorvanelError } from '../src/morvanel.js';
import { FirstDifference, NativeRenders, Peak, ROOT, SAMPLE_RATE, SECONDS } from './support.mjs';

const quiet = () => {};

async function Engine(script, print = quiet) {
    const engine = await Morvanel.create({ sampleRate: SAMPLE_RATE, print });
    if (script !== undefined) {
        const result = engine.parse(script);
        assert.ok(result.ok, result.log);
    }
    return engine;
}

describe('renders', () => {
    const renders = NativeRenders();

    test('every example without random draws equals the native library bit for bit', async () => {
        const fixed = renders.filter((example) => !example.random);
        // coin draws nothing at random; if it were counted as random the comparison would be hollow.
        assert.ok(fixed.some((example) => example.name === 'coin.mv'), 'coin.mv must render the same twice natively');
        for (const example of fixed) {
            const engine = await Engine(example.text);
            for (const voice of example.voices) engine.start(voice);
            const samples = engine.render(example.samples.length);
            engine.destroy();
            assert.ok(Peak(samples) > 0, `${example.name} renders silence`);
            assert.equal(FirstDifference(samples, example.samples), null, example.name);
        }
    });

    test('examples with random draws still play', async () => {
        for (const example of renders.filter((entry) => entry.random)) {
            const engine = await Engine(example.text);
            const samples = engine.render(SAMPLE_RATE * SECONDS);
            engine.destroy();
            assert.ok(samples.every(Number.isFinite) && Peak(samples) > 0, example.name);
        }
    });

    test('the stream does not depend on how it is cut into blocks or where scripts are compiled', async () => {
        const melody = renders.find((example) => example.name === 'melody.mv');
        const whole = await Engine(melody.text);
        const expected = whole.render(SAMPLE_RATE);
        whole.parse('extra = { sqr(10) }');  // compiles in the sample after the first second
        const expectedTail = whole.render(SAMPLE_RATE);

        const blocks = await Engine(melody.text);
        const actual = new Float32Array(SAMPLE_RATE * 2);
        const block = new Float32Array(128);
        for (let at = 0; at < actual.length; at += block.length) {
            if (at === SAMPLE_RATE) blocks.parse('extra = { sqr(10) }');
            actual.set(blocks.renderInto(block).subarray(0, Math.min(block.length, actual.length - at)), at);
        }
        assert.equal(FirstDifference(actual.subarray(0, SAMPLE_RATE), expected), null);
        assert.equal(FirstDifference(actual.subarray(SAMPLE_RATE), expectedTail), null);
    });

    test('engines are independent of one another', async () => {
        const [coin, siren] = ['coin.mv', 'siren.mv'].map((name) => renders.find((example) => example.name === name));
        const a = await Engine(coin.text);
        const b = await Engine(siren.text);
        const outA = new Float32Array(SAMPLE_RATE);
        const outB = new Float32Array(SAMPLE_RATE);
        for (let at = 0; at < SAMPLE_RATE; at += 1000) {
            outA.set(a.render(1000), at);
            outB.set(b.render(1000), at);
        }
        assert.equal(FirstDifference(outA, coin.samples.subarray(0, SAMPLE_RATE)), null);
        assert.equal(FirstDifference(outB, siren.samples.subarray(0, SAMPLE_RATE)), null);
    });
});

// Each script carries the exact log it must produce (tests/scripts/README.md).
function ExpectedLog(text) {
    let log = '';
    for (const line of text.split('\n')) {
        const match = /^\/\/ expect(-unterminated)?: (.*)$/.exec(line);
        if (match !== null) log += match[1] === undefined ? `${match[2]}\n` : match[2];
    }
    return log;
}

test('the compiler corpus gives the same logs and the diagnostics they hold', async () => {
    const folders = ['valid', 'errors'].map((folder) => path.join(ROOT, 'tests/scripts', folder));
    let checked = 0;
    for (const folder of folders) {
        for (const name of readdirSync(folder).filter((file) => file.endsWith('.mv'))) {
            const text = readFileSync(path.join(folder, name), 'utf8');
            const expected = ExpectedLog(text);
            const engine = await Engine();
            const result = engine.parse(text);
            engine.destroy();
            assert.equal(result.log, expected, name);
            const lines = expected.split('\n').filter((line) => line !== '');
            const success = lines.at(-1).includes('Compilation successful');
            assert.equal(result.ok, success, name);
            const messages = (success ? lines.slice(0, -1) : lines).map((line) => {
                const [, row, column, message] = /^LINE (\d+) COLUMN (\d+): (.*)$/.exec(line);
                return { line: Number(row), column: Number(column), message };
            });
            assert.deepEqual(result.diagnostics.map(({ line, column, message }) => ({ line, column, message })), messages, name);
            const severities = result.diagnostics.map((diagnostic) => diagnostic.severity);
            assert.deepEqual(severities, messages.map((_, i) => (!success && i === messages.length - 1 ? 'error' : 'warning')), name);
            ++checked;
        }
    }
    assert.ok(checked >= 10, `only ${checked} corpus scripts found`);
});

describe('driving voices', () => {
    const silentAfter = (samples) => samples.subarray(samples.length - 256).every((sample) => sample === 0);

    test('start, release and stop', async () => {
        const engine = await Engine(readFileSync(path.join(ROOT, 'examples/pad.mv'), 'utf8'));
        assert.deepEqual(engine.boxes(), [{ name: 'pad', parameters: ['p'] }]);
        const held = engine.start('pad:a3');
        const stopped = engine.start('pad:e4');
        assert.ok(held > 0 && stopped > held, `voice ids ${held}, ${stopped}`);
        engine.render(SAMPLE_RATE / 2);
        assert.equal(engine.activeVoices(), 2);
        engine.stop(stopped);
        engine.render(1);
        assert.equal(engine.activeVoices(), 1);
        assert.ok(Peak(engine.render(SAMPLE_RATE / 2)) > 0, 'the held voice plays on');
        engine.release(held);
        const tail = engine.render(SAMPLE_RATE);  // the release fades out over 0.6 s
        assert.ok(Peak(tail.subarray(0, 1000)) > 0 && silentAfter(tail));
        assert.equal(engine.activeVoices(), 0);
    });

    test('MIDI notes play through the midikey maps', async () => {
        const engine = await Engine(readFileSync(path.join(ROOT, 'examples/keyboard.mv'), 'utf8'));
        engine.stopAll();  // the demo the script runs
        engine.render(128);
        engine.noteOn(20, 127);  // below the mapped range
        engine.render(128);
        assert.equal(engine.activeVoices(), 0);
        engine.noteOn(60, 127);
        assert.ok(Peak(engine.render(4800)) > 0);
        assert.equal(engine.activeVoices(), 1);
        engine.noteOff(60);
        assert.ok(silentAfter(engine.render(SAMPLE_RATE / 2)));
        assert.equal(engine.activeVoices(), 0);
    });

    test('setVariable reaches the script: a siren without depth is a steady tone', async () => {
        const siren = await Engine(readFileSync(path.join(ROOT, 'examples/siren.mv'), 'utf8'));
        siren.setVariable('%d', 0);
        const steady = await Engine('tone = dur(~2) { @loop sqr(60) }\nrun(tone)');
        assert.equal(FirstDifference(siren.render(SAMPLE_RATE), steady.render(SAMPLE_RATE)), null);
        siren.setVariable('d', 30);
        steady.parse('');
        assert.notEqual(FirstDifference(siren.render(SAMPLE_RATE / 2), steady.render(SAMPLE_RATE / 2)), null);
    });

    test('reset drops boxes and pending commands at once; what the engine prints reaches print', async () => {
        const lines = [];
        const engine = await Engine('talk = { print(1.5) sqr(10) }', (line) => lines.push(line));
        engine.start('talk');
        engine.render(10);
        assert.ok(lines.includes('1.500000'), JSON.stringify(lines));
        engine.start('talk');
        engine.reset();  // drops the start above, but not the parse below
        assert.deepEqual(engine.boxes(), []);
        assert.ok(lines.includes('Engine reset'), JSON.stringify(lines));
        assert.ok(engine.parse('after = { sqr(10) }').ok);
        assert.deepEqual(engine.boxes(), [{ name: 'after', parameters: [] }]);
        engine.render(100);
        assert.equal(engine.activeVoices(), 0);
    });
});

describe('bad input', () => {
    test('hostile scripts give diagnostics, never a fault', async () => {
        const deep = `deep = ${'{ '.repeat(300)}${'} '.repeat(300)}`;
        const calls = Array.from({ length: 14 }, (_, i) => `k${i} = { ${i === 0 ? 'sqr(10)' : `k${i - 1}`} }`).join('\n');
        const lines = [];
        const engine = await Engine(undefined, (line) => lines.push(line));
        for (const script of [deep, '\u0000\u00ff\ud83c\udfb5 = {', '%'.repeat(100000), `${calls}\nrun(k13)`]) {
            const result = engine.parse(script);
            assert.equal(typeof result.log, 'string');
            assert.equal(engine.render(256).length, 256);
        }
        assert.ok(lines.includes('WARNING: Max depth reached'), 'calls nested too deep halt the engine with a warning');
        assert.equal(engine.fault, null);
    });

    test('an engine that runs out of memory stops with a fault and says so ever after', async () => {
        // The module's memory stops growing at 128 MB; a 70 MB script is copied more times than fit.
        const engine = await Engine();
        assert.throws(() => engine.parse(`//${'x'.repeat(70e6)}`), /stopped after a fault/);
        assert.match(engine.fault, /aborted/);
        assert.throws(() => engine.render(1), /stopped after a fault/);
        const other = await Engine('a = { sqr(10) }');
        other.start('a');
        assert.ok(Peak(other.render(100)) > 0, 'a fault in one engine leaves the others alone');
    });

    test('the API refuses what the engine would drop, and says why', async () => {
        const engine = await Engine('a = { sqr(10) }');
        assert.throws(() => engine.start('a'.repeat(32)), RangeError);
        assert.throws(() => engine.parse(42), TypeError);
        assert.throws(() => engine.setVariable('%long', 1), TypeError);
        assert.throws(() => engine.noteOn(60.5), TypeError);
        assert.throws(() => engine.render(-1), RangeError);
        for (let i = 0; i < 64; ++i) engine.start('a');  // fills the command queue
        assert.throws(() => engine.start('a'), /queue is full/);
        engine.render(2);  // the first is the sample the parse computed; the queue drains at the second
        assert.ok(engine.start('a') > 0);
        engine.destroy();
        assert.throws(() => engine.render(1), MorvanelError);
        await assert.rejects(Morvanel.create({ module: new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0]) }), /lacks memory/);
        await assert.rejects(Morvanel.create({ sampleRate: 0 }), RangeError);
    });
});

test('the standard-library stand-ins the engine is built with hold under load', async () => {
    const file = path.join(process.env.MORVANEL_WEB_BUILD ?? path.join(ROOT, 'build/web'), 'web/compat_test.wasm');
    let memory;
    let output = '';
    let status = null;
    const { instance } = await WebAssembly.instantiate(readFileSync(file), {
        env: { emscripten_notify_memory_growth: () => {} },
        wasi_snapshot_preview1: {
            fd_write: (fd, iovs, count, writtenAddress) => {
                const view = new DataView(memory.buffer);
                let written = 0;
                for (let i = 0; i < count; ++i) {
                    const base = view.getUint32(iovs + i * 8, true);
                    const length = view.getUint32(iovs + i * 8 + 4, true);
                    output += Buffer.from(memory.buffer, base, length).toString('latin1');
                    written += length;
                }
                view.setUint32(writtenAddress, written, true);
                return 0;
            },
            proc_exit: (code) => {
                status = code;
                throw new Error('exit');
            },
        },
    });
    memory = instance.exports.memory;
    try {
        instance.exports._start();
    } catch (error) {
        if (status === null) throw error;
    }
    assert.equal(status ?? 0, 0, output);
    assert.match(output, /compat: ok/);
});

test('npm pack gives a package that installs and plays', async () => {
    const web = path.join(ROOT, 'web');
    const directory = mkdtempSync(path.join(tmpdir(), 'morvanel-package-'));
    try {
        const packed = JSON.parse(execFileSync('npm', ['pack', '--json', '--pack-destination', directory], { cwd: web, encoding: 'utf8' }));
        const files = packed[0].files.map((file) => file.path).sort();
        for (const needed of ['dist/morvanel.wasm', 'package.json', 'src/morvanel.js', 'src/morvanel.d.ts', 'src/worklet.js', 'src/audio_node.js']) {
            assert.ok(files.includes(needed), `the package lacks ${needed}: ${files.join(', ')}`);
        }
        assert.ok(!files.some((file) => file.startsWith('tests/') || file.startsWith('compat/')), files.join(', '));
        const project = path.join(directory, 'host');
        execFileSync('mkdir', ['-p', project]);
        writeFileSync(path.join(project, 'package.json'), '{ "name": "host", "private": true, "type": "module" }');
        execFileSync('npm', ['install', '--offline', '--no-audit', '--no-fund', path.join(directory, packed[0].filename)], { cwd: project, stdio: 'ignore' });
        // The guide's first example, as printed, run against the installed package.
        const guide = readFileSync(path.join(web, 'README.md'), 'utf8');
        const example = /```js\n([\s\S]*?)```/.exec(guide)[1];
        writeFileSync(path.join(project, 'play.js'), `${example}\nconsole.log(samples.length, voice, Math.max(...samples));\n`);
        const output = execFileSync('node', ['play.js'], { cwd: project, encoding: 'utf8' }).trim().split('\n');
        const [length, voice, peak] = output.at(-1).split(' ').map(Number);
        assert.deepEqual([length, voice > 0, peak], [48000, true, Math.fround(0.1)], output.join('\n'));
    } finally {
        rmSync(directory, { recursive: true, force: true });
    }
});
