// The playground in a real browser: Debian's Chromium, headless, driven by playwright-core (never a
// downloaded browser). The site is the one scripts/web.sh builds, served on localhost.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { after, before, describe, test } from 'node:test';

import { chromium } from 'playwright-core';

import { Examples, FirstDifference, NativeRenders, ROOT, SAMPLE_RATE } from './support.mjs';

const SITE = process.env.MORVANEL_WEB_SITE ?? path.join(ROOT, 'build/web/site');
const ARTIFACTS = path.join(ROOT, 'build/web/artifacts');
const CHROMIUM = process.env.MORVANEL_CHROMIUM ?? '/usr/bin/chromium';
const CHROMIUM_FLAGS = [
    '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
];
const WAIT = { timeout: 15000 };

let server;
let origin;
let profile;
let browser;
let page;
const problems = [];  // console errors and uncaught page errors, from every page opened

function StartServer() {
    return new Promise((resolve, reject) => {
        // The request log stays out of the test output unless the server dies.
        server = spawn('python3', ['-u', '-m', 'http.server', '0', '--bind', '127.0.0.1', '--directory', SITE],
            { stdio: ['ignore', 'pipe', 'pipe'] });
        let output = '';
        server.stderr.on('data', (chunk) => {
            output = (output + chunk).slice(-4000);
        });
        server.stdout.on('data', (chunk) => {
            output += chunk;
            const match = /port (\d+)/.exec(output);
            if (match !== null) resolve(`http://127.0.0.1:${match[1]}`);
        });
        server.on('exit', (code) => reject(new Error(`the web server exited with ${code}: ${output}`)));
    });
}

async function OpenPage(url = `${origin}/`) {
    const opened = await browser.newPage();
    opened.on('console', (message) => {
        if (message.type() === 'error') problems.push(`console: ${message.text()}`);
    });
    opened.on('pageerror', (error) => problems.push(`page: ${error.message}`));
    await opened.goto(url);
    await opened.waitForSelector('body[data-ready="true"]', WAIT);
    return opened;
}

function AssertNoProblems() {
    assert.deepEqual(problems, [], 'the page reported errors');
}

async function SetScript(text) {
    await page.fill('#editor textarea', text);
}

async function Play() {
    await page.click('#play');
    // The page shows "busy" from the click until this script's result arrives.
    await page.waitForFunction(() => {
        const status = document.querySelector('#status');
        return status.className !== 'busy' && status.textContent !== '';
    }, null, WAIT);
}

// Level reports come about 40 times a second; this keeps the loudest one from now on.
async function WatchPeak() {
    await page.evaluate(() => {
        window.loudest = 0;
        const level = document.querySelector('#level');
        new MutationObserver(() => {
            window.loudest = Math.max(window.loudest, Number(level.dataset.peak));
        }).observe(level, { attributes: true });
    });
}

const Level = () => page.evaluate(() => {
    const level = document.querySelector('#level');
    return { peak: Number(level.dataset.peak), voices: Number(level.dataset.voices) };
});

before(async () => {
    assert.ok(existsSync(path.join(SITE, 'index.html')), `no site at ${SITE}: run scripts/web.sh build`);
    mkdirSync(ARTIFACTS, { recursive: true });
    origin = await StartServer();
    profile = mkdtempSync(path.join(tmpdir(), 'morvanel-chromium-'));
    browser = await chromium.launchPersistentContext(profile, {
        executablePath: CHROMIUM, headless: true, args: CHROMIUM_FLAGS, acceptDownloads: true,
        viewport: { width: 1280, height: 860 },
    });
    page = await OpenPage();
});

after(async () => {
    if (page !== undefined) await page.screenshot({ path: path.join(ARTIFACTS, 'playground-last.png') }).catch(() => {});
    await browser?.close();
    server?.kill();
    if (profile !== undefined) rmSync(profile, { recursive: true, force: true });
});

describe('playground', () => {
    test('loads with no console error, lists the examples and opens on one', async () => {
        const options = await page.$$eval('#example option', (items) => items.map((item) => item.value).filter(Boolean));
        const examples = Examples().map((example) => example.name);
        assert.deepEqual(options, examples);
        assert.match(await page.inputValue('#editor textarea'), /coin = \{/);
        assert.ok(await page.$$eval('#editor .highlight .tok-command', (tokens) => tokens.length) > 0, 'no highlighting');
        AssertNoProblems();
    });

    test('choosing an example and pressing Play produces sound', async () => {
        await page.selectOption('#example', 'laser.mv');
        await page.waitForFunction(() => document.querySelector('#editor textarea').value.includes('laser ='), null, WAIT);
        await WatchPeak();
        await Play();
        assert.equal(await page.textContent('#status'), 'Compiled.');
        await page.waitForFunction(() => window.loudest > 0.05, null, WAIT);
        assert.deepEqual(await page.$$eval('#boxes li', (items) => items.map((item) => item.dataset.box)), ['laser']);
        // Once the shot is over, the box list's play button fires it again.
        await page.waitForFunction(() => Number(document.querySelector('#level').dataset.voices) === 0, null, WAIT);
        await WatchPeak();
        await page.click('#boxes li[data-box="laser"] button');
        await page.waitForFunction(() => window.loudest > 0.05, null, WAIT);
        AssertNoProblems();
    });

    test('a script with an error shows a marker on the line of the error', async () => {
        // The corpus script carries its expected log: the last line names where the parse stopped.
        const text = readFileSync(path.join(ROOT, 'tests/scripts/errors/unknown_box.mv'), 'utf8');
        const expected = text.split('\n').filter((line) => line.startsWith('// expect')).at(-1);
        const [, line, column] = /LINE (\d+) COLUMN (\d+)/.exec(expected).map(Number);
        await SetScript(text);
        await Play();
        const marked = await page.$$eval('#editor .line-number.error', (items) => items.map((item) => Number(item.dataset.line)));
        assert.deepEqual(marked, [line]);
        const marker = await page.$eval('#editor .marker.error', (item) => [Number(item.dataset.line), Number(item.dataset.column)]);
        assert.deepEqual(marker, [line, column]);
        assert.match(await page.textContent('#status'), new RegExp(`^Error on line ${line}, column ${column}: `));
        AssertNoProblems();
    });

    test('a computer key plays the box the script maps to its note', async () => {
        // A, W and S play notes 60, 61 and 62 in the default octave; only 62 is mapped.
        await SetScript('beep = { @loop sqr(@440) }\nmidikey(62, beep)\n');
        await Play();
        assert.equal(await page.textContent('#status'), 'Compiled.');
        await page.click('#level');  // keys typed into the editor are text, not notes
        await page.keyboard.down('a');
        await page.waitForTimeout(300);
        assert.equal((await Level()).voices, 0, 'an unmapped key started a voice');
        await page.keyboard.up('a');
        await page.keyboard.down('s');
        await page.waitForFunction(() => {
            const level = document.querySelector('#level');
            return Number(level.dataset.voices) === 1 && Number(level.dataset.peak) > 0.05;
        }, null, WAIT);
        await page.screenshot({ path: path.join(ARTIFACTS, 'playground.png') });
        await page.keyboard.up('s');
        await page.waitForFunction(() => Number(document.querySelector('#level').dataset.voices) === 0, null, WAIT);
        AssertNoProblems();
    });

    test('the address keeps the script, so a link shares it', async () => {
        const script = '// shared\nshared = dur(~0.1) { @loop saw(@330) }\nrun(shared)\n';
        await SetScript(script);
        await page.waitForFunction(() => /^#[zt]=/.test(location.hash), null, WAIT);
        await page.waitForTimeout(400);  // the address follows the text after a short pause
        const second = await OpenPage(page.url());
        assert.equal(await second.inputValue('#editor textarea'), script);
        await second.close();
        AssertNoProblems();
    });
});

describe('renders in the browser', () => {
    const renders = NativeRenders();

    test('OfflineAudioContext renders of the examples without random draws equal the native library', async () => {
        const fixed = renders.filter((example) => !example.random);
        assert.ok(fixed.some((example) => example.name === 'coin.mv'));
        for (const example of fixed) {
            const encoded = await page.evaluate(async ({ script, voices, length }) => {
                const { parsed, samples } = await window.morvanelPlayground.RenderOffline(script, voices, length);
                if (!parsed.ok) return { log: parsed.log };
                let binary = '';
                const bytes = new Uint8Array(samples.buffer, samples.byteOffset, samples.byteLength);
                for (let i = 0; i < bytes.length; i += 0x8000) binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
                return { samples: btoa(binary) };
            }, { script: example.text, voices: example.voices, length: example.samples.length });
            assert.equal(encoded.log, undefined, `${example.name} did not compile: ${encoded.log}`);
            const bytes = Buffer.from(encoded.samples, 'base64');
            const samples = new Float32Array(bytes.buffer, bytes.byteOffset, bytes.byteLength / 4);
            assert.equal(FirstDifference(samples, example.samples), null, example.name);
        }
        AssertNoProblems();
    });

    test('texts cross the worklet in UTF-8 both ways', async () => {
        // The worklet scope has no TextEncoder or TextDecoder; the engine echoes the name it got.
        const name = 'caf\u00e9\u266a\ud83c\udfb5';
        const parsed = await page.evaluate(async (script) => (await window.morvanelPlayground.RenderOffline(script, [], 128)).parsed,
            `// \u00fc\u00df\nmidikey(60, "${name}")\n`);
        assert.equal(parsed.ok, false);
        assert.deepEqual(parsed.diagnostics.map(({ line, message }) => [line, message]), [[2, `ERROR: unknown box '${name}' name`]]);
        AssertNoProblems();
    });

    test('Render WAV downloads the render as 32-bit float samples', async () => {
        await page.selectOption('#example', 'coin.mv');
        await page.waitForFunction(() => document.querySelector('#editor textarea').value.includes('coin ='), null, WAIT);
        await page.fill('#render-seconds', '1');
        const [download] = await Promise.all([page.waitForEvent('download', WAIT), page.click('#render')]);
        assert.equal(download.suggestedFilename(), 'coin.wav');
        const file = path.join(ARTIFACTS, 'coin.wav');
        await download.saveAs(file);
        const wav = readFileSync(file);
        assert.equal(wav.toString('latin1', 0, 4), 'RIFF');
        assert.equal(wav.toString('latin1', 8, 16), 'WAVEfmt ');
        assert.deepEqual([wav.readUInt16LE(20), wav.readUInt16LE(22), wav.readUInt32LE(24), wav.readUInt16LE(34)], [3, 1, SAMPLE_RATE, 32]);
        const data = wav.subarray(44, 44 + wav.readUInt32LE(40));
        const samples = new Float32Array(data.buffer.slice(data.byteOffset, data.byteOffset + data.byteLength));
        // The file ends at the last sound: the coin's 0.41 s, not the second asked for.
        const native = renders.find((example) => example.name === 'coin.mv').samples;
        let end = SAMPLE_RATE;
        while (end > 1 && native[end - 1] === 0) --end;
        assert.equal(FirstDifference(samples, native.subarray(0, end)), null);
        AssertNoProblems();
    });
});
