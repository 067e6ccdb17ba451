#!/usr/bin/python3
"""Makes the demo pair in samples/: a clean synthetic utterance and a noisy,
delayed copy of it, both 8 kHz 16-bit mono behind a 44-byte WAV header.

Needs Debian's espeak-ng, sox and python3-numpy. Every step is fixed (text,
voice, speed, seed), so a rerun with the same package versions gives the
same bytes. Run from anywhere: tools/make_samples.py
"""
import os
import struct
import subprocess
import tempfile

import numpy as np

TEXT = ("The birch canoe slid on the smooth planks. "
        "Glue the sheet to the dark blue background.")
DELAY = 320          # samples the degraded copy lags the reference (40 ms)
SNR_DB = 5.0         # white noise level against the speech's mean power
SEED = 20261207

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def wav_bytes(samples, rate=8000):
    data = samples.astype('<i2').tobytes()
    header = b'RIFF' + struct.pack('<I', 36 + len(data)) + b'WAVEfmt ' + struct.pack(
        '<IHHIIHH', 16, 1, 1, rate, rate * 2, 2, 16) + b'data' + struct.pack('<I', len(data))
    return header + data


def synthesise():
    with tempfile.TemporaryDirectory() as tmp:
        speech = os.path.join(tmp, 'speech.wav')
        raw = os.path.join(tmp, 'speech.raw')
        subprocess.run(['espeak-ng', '-v', 'en-us', '-s', '150', '-w', speech, TEXT], check=True)
        subprocess.run(['sox', '-R', speech, '-r', '8000', '-c', '1', '-b', '16', '-e', 'signed-integer',
                        '-t', 'raw', raw], check=True)
        return np.fromfile(raw, dtype='<i2').astype(np.float64)


def main():
    clean = synthesise()
    clean *= 12000.0 / np.max(np.abs(clean))
    clean = np.concatenate([np.zeros(800), clean, np.zeros(800)])
    rng = np.random.default_rng(SEED)
    power = np.mean(clean ** 2)
    noise = rng.standard_normal(len(clean) + DELAY) * np.sqrt(power / 10 ** (SNR_DB / 10))
    degraded = np.concatenate([np.zeros(DELAY), clean]) + noise
    degraded = degraded[:len(clean)]
    to16 = lambda x: np.clip(np.round(x), -32768, 32767).astype(np.int16)
    os.makedirs(os.path.join(ROOT, 'samples'), exist_ok=True)
    with open(os.path.join(ROOT, 'samples', 'ref.wav'), 'wb') as f:
        f.write(wav_bytes(to16(clean)))
    with open(os.path.join(ROOT, 'samples', 'deg.wav'), 'wb') as f:
        f.write(wav_bytes(to16(degraded)))
    print('samples:', len(clean), 'seconds:', len(clean) / 8000.0)


if __name__ == '__main__':
    main()
