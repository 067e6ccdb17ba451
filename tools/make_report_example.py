#!/usr/bin/python3
"""Makes the example report of the README and its screenshot,
docs/report-example.png: a small listening test scored by kelvor-batch and
reported by kelvor-stoi.

    tools/make_report_example.py BUILD_DIR [WORK_DIR]

Twelve sentences spoken by espeak-ng at 16 kHz are the references; each
is mixed with speech-shaped noise at -5, 0, 5 and 10 dB SNR (the system
"noisy") and cleaned by a Wiener filter that knows the noise's spectrum
(the system "enhanced"). kelvor-batch (BUILD_DIR/batch/kelvor-batch)
scores the 96 pairs of a manifest with the columns snr and system, with
--details; kelvor-stoi writes the report; headless Chromium takes the
screenshot. Needs Debian's espeak-ng, sox, chromium and python3-numpy;
every step is seeded, so a rerun with the same packages gives the same
scores. A developer tool: neither the build nor the tests use it.
"""
import csv
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np

from make_samples import wav_bytes

SENTENCES = [
    "The birch canoe slid on the smooth planks.",
    "Glue the sheet to the dark blue background.",
    "It's easy to tell the depth of a well.",
    "These days a chicken leg is a rare dish.",
    "Rice is often served in round bowls.",
    "The juice of lemons makes fine punch.",
    "The box was thrown beside the parked truck.",
    "The hogs were fed chopped corn and garbage.",
    "Four hours of steady work faced us.",
    "A large size in stockings is hard to sell.",
    "The boy was there when the sun rose.",
    "A rod is used to catch pink salmon.",
]
VOICES = ["en-us", "en", "en-us+f3", "en+m3"]
SNRS = [-5, 0, 5, 10]
RATE = 16000
SEED = 20261208
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def speak(text: str, voice: str, tmp: str) -> np.ndarray:
    spoken = os.path.join(tmp, "spoken.wav")
    raw = os.path.join(tmp, "spoken.raw")
    subprocess.run(["espeak-ng", "-v", voice, "-s", "155", "-w", spoken, text], check=True)
    subprocess.run(["sox", "-R", spoken, "-r", str(RATE), "-c", "1", "-b", "16", "-e", "signed-integer",
                    "-t", "raw", raw], check=True)
    speech = np.fromfile(raw, dtype="<i2").astype(np.float64)
    pad = np.zeros(RATE // 4)
    return np.concatenate([pad, speech, pad])


def frame_count(length: int, n: int = 512, hop: int = 256) -> int:
    """Frames of stft over length samples."""
    return 1 + max(0, (length - n) // hop)


def stft(x: np.ndarray, n: int = 512, hop: int = 256) -> np.ndarray:
    window = np.hanning(n + 1)[:-1]
    frames = frame_count(x.shape[0], n, hop)
    return np.array([np.fft.rfft(window * x[i * hop : i * hop + n]) for i in range(frames)])


def istft(spectra: np.ndarray, length: int, n: int = 512, hop: int = 256) -> np.ndarray:
    window = np.hanning(n + 1)[:-1]
    out = np.zeros(length)
    weight = np.zeros(length)
    for i, s in enumerate(spectra):
        out[i * hop : i * hop + n] += window * np.fft.irfft(s, n)
        weight[i * hop : i * hop + n] += window**2
    return out / np.maximum(weight, 1e-3)


def main() -> int:
    if len(sys.argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    build = os.path.abspath(sys.argv[1])
    work = os.path.abspath(sys.argv[2]) if len(sys.argv) == 3 else tempfile.mkdtemp(prefix="kelvor-example-")
    batch = os.path.join(build, "batch", "kelvor-batch")
    rng = np.random.default_rng(SEED)
    os.makedirs(os.path.join(work, "refs"), exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        speech = [speak(t, VOICES[i % len(VOICES)], tmp) for i, t in enumerate(SENTENCES)]
    # Speech-shaped noise: the long-term spectrum of all sentences with
    # random phases.
    spectra = np.concatenate([np.abs(stft(s)) ** 2 for s in speech])
    shape = np.sqrt(spectra.mean(axis=0))
    rows = []
    for i, clean in enumerate(speech):
        name = f"s{i + 1:02d}.wav"
        with open(os.path.join(work, "refs", name), "wb") as f:
            f.write(wav_bytes(np.round(clean), RATE))
        power = np.mean(clean[np.abs(clean) > 0.05 * np.abs(clean).max()] ** 2)
        frames = frame_count(clean.shape[0])
        for snr in SNRS:
            phases = np.exp(2j * np.pi * rng.random((frames, shape.shape[0])))
            noise = istft(shape * phases, clean.shape[0])
            noise *= np.sqrt(power / 10 ** (snr / 10) / np.mean(noise**2))
            noisy = clean + noise
            # A Wiener filter with the noise's true spectrum, floored.
            y = stft(noisy)
            noise_power = np.mean(np.abs(stft(noise)) ** 2, axis=0)
            gain = np.maximum(1.0 - noise_power / np.maximum(np.abs(y) ** 2, 1e-9), 0.12)
            enhanced = istft(y * gain, clean.shape[0])
            for system, signal in (("noisy", noisy), ("enhanced", enhanced)):
                folder = os.path.join(work, system, f"snr{snr}")
                os.makedirs(folder, exist_ok=True)
                with open(os.path.join(folder, name), "wb") as f:
                    f.write(wav_bytes(np.clip(np.round(signal), -32768, 32767), RATE))
                rows.append({"reference": f"refs/{name}", "degraded": f"{system}/snr{snr}/{name}",
                             "snr": str(snr), "system": system})
    rows.sort(key=lambda r: (r["system"] != "noisy", int(r["snr"]), r["reference"]))
    manifest = os.path.join(work, "listening_test.csv")
    with open(manifest, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=["reference", "degraded", "snr", "system"], lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)

    results = os.path.join(work, "r.csv")
    # Run in the work folder under the name it is installed by, so that the
    # run record's command reads as a user would type it.
    command = ["kelvor-batch", "--quiet", "--details", "details", "-o", "r.csv", "listening_test.csv"]
    env = {k: v for k, v in os.environ.items() if k != "MALLOC_TRIM_THRESHOLD_"}
    done = subprocess.run(command, executable=batch, cwd=work, env=env)
    if done.returncode not in (0, 3):
        return done.returncode

    page = os.path.join(work, "report.html")
    subprocess.run([sys.executable, "-m", "kelvor_stoi", "report", "r.csv", "--by", "snr", "--between", "system",
                    "noisy", "enhanced", "--details", "details", "--worst", "3", "-o", page], check=True, cwd=work,
                   env={**env, "PYTHONPATH": os.path.join(build, "python")})
    shot = os.path.join(ROOT, "docs", "report-example.png")
    os.makedirs(os.path.dirname(shot), exist_ok=True)
    with tempfile.TemporaryDirectory() as profile:
        subprocess.run([shutil.which("chromium") or "chromium", "--headless", "--no-sandbox", "--disable-gpu",
                        "--disable-quic", "--no-first-run", "--disable-background-networking",
                        "--disable-component-update", "--disable-sync", f"--user-data-dir={profile}",
                        "--hide-scrollbars", "--window-size=1280,2300", f"--screenshot={shot}",
                        "file://" + page], check=True, capture_output=True)
    print(f"{results}\n{page}\n{shot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
