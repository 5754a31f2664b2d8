#!/usr/bin/env python3
"""Regenerates the resources the program carries: placeholder RAM loader images,
the pass and fail sounds, and the two documents.

The RAM loader images made here are deterministic placeholders that only the chip
simulator runs; a real production line points the program at a folder with the vendor's
loaders (same file names, any size up to 256 KiB). The text at the head of each placeholder
is how the program tells a placeholder from a vendor's loader: keep it."""

import math
import os
import struct
import wave

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources")

LOADERS = {
    "ramcode_zr740c.bin": 14176,
    "ramcode_zr740a.bin": 18120,
    "ramcode_zr610a.bin": 11372,
}


def loader_image(name, size):
    head = ("ZU-Dazazi-Zuvareridi placeholder RAM loader %s\0" % name).encode("ascii")
    seed = sum(name.encode("ascii")) & 0xFFFFFFFF
    body = bytearray()
    state = seed or 1
    while len(head) + len(body) < size:
        # xorshift32: the same bytes on every machine, so the build is reproducible
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        body.append(state & 0xFF)
    return (head + bytes(body))[:size]


def write_wav(path, seconds, sample):
    rate = 44100
    frames = int(rate * seconds)
    with wave.open(path, "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(rate)
        data = bytearray()
        for i in range(frames):
            t = i / rate
            fade = min(1.0, (seconds - t) / 0.05, t / 0.01)
            value = int(max(-1.0, min(1.0, sample(t))) * fade * 12000)
            data += struct.pack("<hh", value, value)
        out.writeframes(bytes(data))


def chime(t):
    # two rising bell tones: the board passed
    tone = 880.0 if t < 0.45 else 1318.5
    start = 0.0 if t < 0.45 else 0.45
    return math.sin(2 * math.pi * tone * t) * math.exp(-4.0 * (t - start))


def buzz(t):
    # a low square buzz: the board failed
    return 0.6 if math.sin(2 * math.pi * 180.0 * t) >= 0 else -0.6


ABOUT = "芯片量产烧录工具"

GUIDE = [
    "操作步骤",
    "=======",
    "1. 打开“编辑”菜单中的配置编辑器，设置下载模式、波特率、文件以及烧录地址；",
    "2. 在串口列表中选择并打开串口；",
    "3. 点击“擦除”按钮擦除芯片；",
    "3. 点击“开始”按钮下载固件。",
    "",
    "注意事项",
    "=======",
    "1. 开始按钮的快捷键为 Enter；",
    "1. 连续下载一旦开始，只能通过关闭程序退出；",
    "2. 单次下载结束后，再次点击“开始”即可开始新一次下载。",
]


def main():
    for name, size in LOADERS.items():
        with open(os.path.join(ROOT, "bootram_bins", name), "wb") as out:
            out.write(loader_image(name, size))
    write_wav(os.path.join(ROOT, "sounds", "ok.wav"), 1.1, chime)
    write_wav(os.path.join(ROOT, "sounds", "error.wav"), 0.65, buzz)
    with open(os.path.join(ROOT, "documents", "about.txt"), "wb") as out:
        out.write(ABOUT.encode("utf-8"))
    with open(os.path.join(ROOT, "documents", "user_guide.txt"), "wb") as out:
        out.write("\r\n".join(GUIDE).encode("utf-8") + b"\r\n")


if __name__ == "__main__":
    main()
