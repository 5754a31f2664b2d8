#!/usr/bin/env python3
"""Seed corpora for the fuzz targets from a recorded dialogue with simulated chips:

    zdz-chipsim --chips 3 --families ZR740A,ZR740C,ZR610A --dir links --out rec &
    zdz-flash --port links/ttySIM0 ... --file a.bin@0x1000 --file b.bin@0x8000
    tests/fuzz/make_seeds.py rec tests/fuzz/corpus

Chip answers (rec/chip*.jsonl) become answer inputs, whole and torn in two; recorded transfers
become YMODEM conversations; settings seeds use the store's keys. FuzzedDataProvider takes
integers from the end and byte strings from the front. Existing files are left alone.
"""

import hashlib
import json
import pathlib
import sys

C, ACK, NAK = 0x43, 0x06, 0x15


class Seed:
    """Front bytes in the order they are consumed, and back bytes likewise."""

    def __init__(self):
        self.front, self.back = bytearray(), bytearray()

    def string(self, data):
        # ConsumeRandomLengthString: a backslash is doubled, a backslash and any other byte end it.
        self.front += data.replace(b"\\", b"\\\\") + b"\\e"

    def int_(self, value, width=1):
        # Integers are taken from the end, most significant byte first.
        self.back += (value & ((1 << 8 * width) - 1)).to_bytes(width, "big")

    def ints(self, *values):
        for value in values:
            self.int_(value)

    def write(self, folder, name):
        data = bytes(self.front) + bytes(reversed(self.back))
        folder.mkdir(parents=True, exist_ok=True)
        digest = hashlib.sha1(data).hexdigest()[:12]
        if not any(folder.glob(f"*-{digest}")):
            (folder / f"{name}-{digest}").write_bytes(data)


def transcripts(folder):
    for path in sorted(folder.glob("chip*.jsonl")):
        for line in path.read_text(encoding="latin-1").splitlines():
            try:
                yield json.loads(line)
            except json.JSONDecodeError:
                pass


def dialogue_seeds(events, out):
    answers = list(dict.fromkeys(e["data"].encode("latin-1") for e in events if e.get("ev") == "tx"))
    # A few answers a half-soldered board or a wrong firmware gives.
    answers += [b"\r\nunknown cmd!\r\n", b"\x00\x80\xffJan\x00 08", b"\r\nfc:x\r\n", b"\r\nfc:1:2\r\n",
                b"\r\nfc:\r\n", b"fc fc:-3\r\n", b"\r\nfc:300\r\n", b"RAMCODE\x00Jun 19 2019/21:01:04\r\n"]
    for n, answer in enumerate(answers):
        for whole in (1, 0):
            seed = Seed()
            seed.int_(0x1000 if b"startaddr" not in answer else int(answer.split(b"0x")[1][:8], 16), 4)
            # Torn in two, as two reads of the port deliver it.
            cut = max(1, len(answer) // 2)
            for piece in (answer[:cut], answer[cut:]):
                seed.ints(whole, 1)
                seed.string(piece)
                seed.int_(1)
            seed.write(out, f"answer{n}-{'line' if whole else 'raw'}")


def transfer(seed, blocks, block_mode, nak_at=None):
    """A raw-peer conversation of one transfer as the chip's receiver holds it."""
    seed.ints(0, 0, block_mode)   # raw peer, the transmitter's limits, the block mode

    def step(*peer):
        for byte in peer:
            seed.int_(0)          # control: hand over one byte
            seed.front.append(byte)

    def fill(reply_eot=False, header=False):
        data = b"image.bin\x00" + str(sum(blocks)).encode() + b"\x00" if header else bytes(range(16))
        seed.int_(len(data), 1 if header else 2)
        seed.front += data
        seed.ints(5 if reply_eot else 0, 3)   # 3: report the full capacity

    step(C)
    fill(header=True)
    step(ACK)
    fill(reply_eot=not blocks)
    step(C)
    for k in range(1, len(blocks) + 1):
        step(*([NAK, ACK] if nak_at == k else [ACK]))
        fill(reply_eot=k == len(blocks))
    step(NAK, ACK, C, ACK)        # the first EOT is refused


def ymodem_seeds(events, out):
    recorded = list(dict.fromkeys(tuple(e["blocks"]) for e in events if e.get("ev") == "image")) + [()]
    for n, blocks in enumerate(recorded):
        for mode in (0, 2):
            seed = Seed()
            transfer(seed, list(blocks)[:6], mode, nak_at=2 if mode == 0 else None)
            seed.write(out, f"transfer{n}-mode{mode}")
    # An honest receiver behind a sound line, images of the recorded sizes.
    for size in sorted({min(6000, sum(b)) for b in recorded} | {0, 128, 129, 1024, 1025}):
        for mode in (0, 1):
            seed = Seed()
            seed.ints(1, 3, 19, 2, 9, mode)   # small limits: divisor, time-out, errors; the block mode
            seed.int_(size, 2)
            seed.int_(0x2545F491 + size, 4)
            seed.int_(40)                     # the receiver prompts every few steps
            seed.write(out, f"line-{size}-mode{mode}")


def settings_seeds(out):
    files = [
        b"[General]\nkey_download_mode_index=0\nkey_baudrate=921600\n"
        b"key_filepath_index_0=/srv/images/app.bin\nkey_startaddr_index_0=1000\n",
        b"[General]\nkey_download_mode_index=1\nkey_baudrate=3000000\n"
        + b"".join(b"key_filepath_index_%d=/srv/images/part%d.bin\nkey_startaddr_index_%d=%x\n" % (i, i, i, 0x1000 << i)
                   for i in range(4)),
        b"[General]\nkey_download_mode_index=7\nkey_baudrate=-1\nkey_filepath_index_0=a\nkey_startaddr_index_0=0x\n",
        b"[General]\nkey_baudrate=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\aunknown)\nkey_filepath_index_2=\"x, y\"\n"
        b"key_startaddr_index_2=FFFFFFFF\nkey_startaddr_index_3=100000000\n",
        b"[General]\nkey_filepath_index_0=@ByteArray(\\0)\nkey_startaddr_index_0=@Point(1 2)\n[General",
    ]
    for n, text in enumerate(files):
        seed = Seed()
        seed.front += text + b"\x02"
        seed.write(out, f"settings{n}")
    rows = [(b"/srv/images/app.bin", b"1000"), (b"", b"1000"), (b"a.bin", b""), (b"a.bin", b"0x0001F000"),
            (b"a.bin", b"-1"), (b"a.bin", b"100000000"), (b"\xe4\xb8\xad.bin", b" 2000 ")]
    for n, (path, addr) in enumerate(rows):
        seed = Seed()
        seed.int_(0)                  # the row rule
        for text in (path, addr):
            seed.string(text)
            seed.int_(1)              # UTF-8
        seed.write(out, f"row{n}")


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    recording, corpus = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    events = list(transcripts(recording))
    if not events:
        sys.exit(f"no transcripts in {recording}")
    dialogue_seeds(events, corpus / "fuzz_chipdialogue")
    ymodem_seeds(events, corpus / "fuzz_ymodem")
    settings_seeds(corpus / "fuzz_userconfig")


if __name__ == "__main__":
    main()
