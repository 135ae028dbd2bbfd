// WAV files of 32-bit float mono samples, so a download holds exactly what the engine rendered.

/** A RIFF/WAVE file (format 3, IEEE float) of `samples` at `sampleRate`. */
export function EncodeWav(samples, sampleRate) {
    const dataBytes = samples.length * 4;
    const buffer = new ArrayBuffer(44 + dataBytes);
    const view = new DataView(buffer);
    const ascii = (offset, text) => {
        for (let i = 0; i < text.length; ++i) view.setUint8(offset + i, text.charCodeAt(i));
    };
    ascii(0, 'RIFF');
    view.setUint32(4, 36 + dataBytes, true);
    ascii(8, 'WAVE');
    ascii(12, 'fmt ');
    view.setUint32(16, 16, true);
    view.setUint16(20, 3, true);  // IEEE float
    view.setUint16(22, 1, true);  // mono
    view.setUint32(24, sampleRate, true);
    view.setUint32(28, sampleRate * 4, true);
    view.setUint16(32, 4, true);
    view.setUint16(34, 32, true);
    ascii(36, 'data');
    view.setUint32(40, dataBytes, true);
    new Float32Array(buffer, 44).set(samples);
    return buffer;
}

/** The samples up to the last one that is not exactly zero (at least one sample). */
export function TrimSilence(samples) {
    let end = samples.length;
    while (end > 1 && samples[end - 1] === 0) --end;
    return samples.subarray(0, end);
}
