#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses into tests/fuzz/seeds/.

Run from anywhere: tools/make_fuzz_seeds.py

Each seed follows the input layout described at the top of its harness.
Deterministic: running it again rewrites the same bytes.
"""
import math
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "fuzz")


def speechlike(count, seed, level=8000.0):
    out = []
    state = (seed * 2654435761 + 12345) & 0xFFFFFFFF
    f0 = 110.0 + (seed % 7) * 13.0
    for i in range(count):
        t = i / 8000.0
        env = 0.5 + 0.5 * math.sin(2 * math.pi * 3.7 * t + seed)
        v = sum(math.sin(2 * math.pi * h * f0 * t + h * seed) / h for h in range(1, 6))
        state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
        noise = ((state >> 8) / 16777216.0 - 0.5) * 0.05
        x = int(level * (env * env * v + noise))
        out.append(max(-32768, min(32767, x)))
    return out


def pcm(samples):
    return b"".join(struct.pack("<h", s) for s in samples)


def wav_header(count, rate=8000, channels=1):
    data = count * 2 * channels
    return (b"RIFF" + struct.pack("<I", 36 + data) + b"WAVEfmt " +
            struct.pack("<IHHIIHH", 16, 1, channels, rate, rate * channels * 2, channels * 2, 16) +
            b"data" + struct.pack("<I", data))


def write(folder, name, data):
    path = os.path.join(HERE, "seeds", folder)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, name), "wb") as f:
        f.write(data)


def run_seed(bits, shift, ref, deg):
    return bytes([bits]) + struct.pack("<HH", shift, len(ref)) + ref + deg


def run_seeds():
    clean = speechlike(6000, 3)
    delayed = [0] * 37 + clean[:-37]
    write("run", "aligned_raw", run_seed(1, 0, pcm(clean), pcm(delayed)))
    write("run", "shift_double_debug_wav", run_seed(2 | 4 | 8 | 16 | 32, 37,
                                                     wav_header(6000) + pcm(clean),
                                                     wav_header(6000) + pcm(delayed)))
    write("run", "timing_options_last", run_seed(64 | 128 | 16, 0, wav_header(5600) + pcm(clean[:5600]),
                                                  pcm(speechlike(5600, 4))))
    write("run", "silent_degraded", run_seed(0, 0, pcm(clean), pcm([0] * 6000)))
    write("run", "silent_reference", run_seed(1, 0, pcm([0] * 6000), pcm(clean)))
    square = [32767 if (i // 20) % 2 else -32768 for i in range(6000)]
    write("run", "square_and_dc", run_seed(4, 0, pcm(square), pcm([-32768] * 6000)))
    write("run", "short_wav", run_seed(16 | 32, 0, b"RIFF" + bytes(16), wav_header(0)))
    write("run", "odd_bytes", run_seed(0, 0, pcm(clean[:5500]) + b"\x7f", pcm(clean[:5600]) + b"\x01"))
    write("run", "conflict", run_seed(1 | 2, 5, pcm(clean[:100]), pcm(clean[:100])))
    write("run", "illegal_shift", run_seed(2 | 128, 901, b"", b""))
    write("run", "flac_reference", run_seed(0, 0, b"fLaC" + pcm(clean[:3000]), pcm(clean)))
    write("run", "wav_16k_degraded", run_seed(32, 0, pcm(clean), wav_header(6000, rate=16000) + pcm(clean)))
    write("run", "riff_named_raw", run_seed(2 | 128, 901, wav_header(6000) + pcm(clean), pcm(clean)))


def command_line_seeds():
    seeds = {
        "plain": ["a.wav", "b.pcm"],
        "aligned_debug": ["-a", "a.wav", "b.pcm", "-d", "-t"],
        "shift_text": ["-s12abc", "a.wav b.pcm", "-r"],
        "lone_dash": ["-", "a.wav", "b.pcm"],
        "three_files": ["a.wav", "b.pcm", "t.wav", "-Q"],
        "illegal_shift": ["-s901", "a.wav", "b.pcm"],
        "directory": ["a.wav", "dir"],
        "empty_and_odd": ["-h", "e.wav", "o.pcm"],
        "short_wav": ["t.wav", "a.wav", "-h"],
        "conflict": ["-a -s3", "a.wav", "b.pcm"],
        "missing": ["-h", "nothing.wav", "-Z"],
        "blanks": ["", "   ", "-t"],
        "backslash": ["x\\a.wav", "b.pcm"],
        "signed_shift": ["-s+900", "-s\t-5", "a.wav", "b.pcm"],
    }
    for name, args in seeds.items():
        write("command_line", name, b"\0".join(a.encode() for a in args))


def nsp_seed(order_byte, flags, mode, exponent, data):
    return bytes([order_byte]) + struct.pack("<i", flags) + bytes([mode, exponent]) + data


def nsp_seeds():
    data = pcm(speechlike(600, 9))
    write("nsp_fft", "order9_forward", nsp_seed(9, 1, 0, 20, data))
    write("nsp_fft", "order12_inverse", nsp_seed(12, 2, 128, 20, data))
    write("nsp_fft", "order15_out_bitrev", nsp_seed(15, 1 | 128, 0, 20, data))
    write("nsp_fft", "order3_in_bitrev_noscale", nsp_seed(3, 2 | 16 | 64, 0, 20, data))
    write("nsp_fft", "order11_no_bitrev", nsp_seed(11, 1 | 32, 0, 25, data))
    write("nsp_fft", "both_directions", nsp_seed(4, 3, 0, 20, data))
    write("nsp_fft", "init_only_null", nsp_seed(10, 4, 1, 20, b""))
    write("nsp_fft", "free_tables", nsp_seed(9, 8, 0, 20, b""))
    write("nsp_fft", "order31", nsp_seed(234, 1, 0, 20, data))
    write("nsp_fft", "negative_order", nsp_seed(228, 1, 0, 20, data))
    write("nsp_fft", "table_fails_once", nsp_seed(13, 1, 2 | (1 << 3), 20, data))
    write("nsp_fft", "tables_fail_for_good", nsp_seed(14, 2, 4, 20, data))
    write("nsp_fft", "raw_floats", nsp_seed(6, 1, 64, 20, bytes(range(256))))


def manifest_seeds():
    # byte 0: 0 m.csv, 1 m.tsv, 2 m.txt
    seeds = {
        "plain_csv": (0, b"reference,degraded,shift,align\na.wav,b.wav,12,1\nc.wav,d.wav,,\n"),
        "quoted_csv": (0, b'degraded,reference\n"b,1.wav","a ""q"".wav"\n"multi\nline",z.wav\n'),
        "bom_crlf": (0, b"\xef\xbb\xbfReference,Degraded\r\na.wav,b.wav\r\n\r\n"),
        "tsv_quote": (1, b'reference\tdegraded\nmic 5".wav\tb.wav\n"c.wav\td.wav\n'),
        "sniffed_tabs": (2, b"reference\tdegraded\na,1.wav\tb.wav\n"),
        "open_quote": (0, b'reference,degraded\n"a.wav,b.wav\nc.wav,d.wav\n'),
        "nul_and_shifts": (0, b"reference,degraded,shift\na\0x.wav,b.wav,\na,b,00000000900\na,b,1000000000\na,b,-3\n"),
        "not_utf8": (0, b"reference,degraded\n\xff\xfe.wav,caf\xe9.wav\n"),
    }
    for name, (kind, text) in seeds.items():
        write("manifest", name, bytes([kind]) + text)


def resume_seeds():
    # byte 0: 0 CSV output, 1 JSON Lines output, 2 run record
    header = b"reference,degraded,stoi,estoi,delay_samples,delay_ms,seconds,rate,status,message\n"
    ok_csv = b"r.wav,d.wav,0.49054915330264776,0.26980152838010729,320,40,5.75675,8000,ok,\n"
    error_csv = b'r.wav,"x,y.wav",,,,,,,missing,"The degraded file \'x,y.wav\' does not exist"\n'
    ok_json = (b'{"reference": "r\\udcff.wav", "degraded": "d.wav", "stoi": 0.5, "estoi": 0.25, "delay_samples": 0, '
               b'"delay_ms": 0, "seconds": 5.75675, "rate": 8000, "status": "ok", "message": ""}\n')
    record = (b'{\n  "program": "kelvor-batch",\n  "version": "1.0.0",\n  "command": ["kelvor-batch", "-o", "o.csv", '
              b'"m.csv"],\n  "listing": {"manifest": "/d/m.csv", "sha256": "00"},\n  "shard": "1/3",\n  "options": '
              b'{"align": false, "raw_rate": 8000, "channel": 0, "profile": "default"},\n  "started": '
              b'"2025-01-31T12:00:00Z"\n}\n')
    write("resume", "csv_rows", bytes([0]) + header + ok_csv + error_csv)
    write("resume", "csv_torn", bytes([0]) + header + ok_csv + ok_csv[:30])
    write("resume", "jsonl_rows", bytes([1]) + ok_json + ok_json[:40])
    write("resume", "run_record", bytes([2]) + record)


if __name__ == "__main__":
    run_seeds()
    command_line_seeds()
    nsp_seeds()
    manifest_seeds()
    resume_seeds()
