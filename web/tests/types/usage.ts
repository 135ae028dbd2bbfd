// Compiled by `tsc -p tests/types` only: the declarations must accept the README's usage and
// reject misuse (each @ts-expect-error line must be an error, or tsc fails).
import { Morvanel, MorvanelError, type BoxInfo, type Diagnostic, type ParseResult } from 'morvanel';
import { MorvanelNode, type Level } from 'morvanel/audio-node';

export async function Host(): Promise<Float32Array> {
    const engine: Morvanel = await Morvanel.create({ sampleRate: 48000, print: (line) => line.length });
    const result: ParseResult = engine.parse('beep = dur(~0.25) { @loop sqr(@440) }');
    const first: Diagnostic | undefined = result.diagnostics[0];
    const where: number = first === undefined ? 0 : first.line + first.column;
    const boxes: BoxInfo[] = engine.boxes();
    const id: number = engine.start(`${boxes[0]?.name ?? 'beep'}:${where}`);
    engine.release(id);
    engine.stop(id);
    engine.noteOn(60, 100);
    engine.noteOff(60);
    engine.setVariable('%d', 0.5);
    const samples = engine.render(48000);
    engine.renderInto(new Float32Array(128));
    const voices: number = engine.activeVoices();
    const fault: string | null = engine.fault;
    engine.destroy();
    // @ts-expect-error a script is a string
    engine.parse(42);
    // @ts-expect-error render returns samples, not a number
    const wrong: number = engine.render(1);
    // @ts-expect-error engines come from create
    new Morvanel();
    return voices > 0 || fault !== null || wrong ? samples : new Float32Array(0);
}

export async function Page(context: AudioContext): Promise<void> {
    const module = await Morvanel.compile();
    const sync = Morvanel.createSync({ module, sampleRate: context.sampleRate });
    sync.destroy();
    const node = await MorvanelNode.create(context, { module, script: 'run(beep)', voices: ['beep'] });
    node.connect(context.destination);
    node.onlevel = (level: Level) => level.peak + level.voices;
    node.onprint = (line: string) => line;
    const parsed: ParseResult = await node.parse('beep = { sqr(10) }');
    const id: number = await node.start('beep');
    await node.release(id);
    if (!parsed.ok) throw new MorvanelError(parsed.log);
    await node.destroy();
}
