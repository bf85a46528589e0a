#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets.

    python3 fuzz/make_corpus.py
        the hand-made seeds (scripted runs), into fuzz/corpus/link and
        fuzz/corpus/scanner
    python3 fuzz/make_corpus.py CAPTURES_DIR OUT_DIR
        seeds cut from the real receiver captures in CAPTURES_DIR (the first
        sentences of some of them), into OUT_DIR/link and OUT_DIR/scanner

The captures are ../shared/testdata/nmea beside the checkout, which the project
reads but does not redistribute: tools/fuzz.sh writes their seeds into the
build folder at run time, and nothing cut from them is kept in the repository.
Both kinds are deterministic, so running this again gives the same files.
"""
import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# Opcodes of link_fuzz (see the top of link_fuzz.cpp).
RECEIVE, SECOND, PRESS, CONNECT, SENTENCE = 0, 2, 4, 5, 6
LONG_WAIT = 0xFA  # followed by a byte: that many times 160 seconds

CAPTURE_FILES = [
    "sirfstarv-nmea.log",
    "tn200.log",
    "triton400.log",
    "blumax-gps009.log",
    "beidou-bd.log",
    "gp-320fw-2019-04-07-coldboot.log",
]


def sentences_of(captures, name, limit):
    """The capture's text without its comment lines, cut to about limit bytes
    at a line end."""
    with open(os.path.join(captures, name), "rb") as f:
        lines = [l for l in f.read().splitlines(keepends=True) if not l.startswith(b"#")]
    text = b""
    for line in lines:
        if len(text) + len(line) > limit:
            break
        text += line
    return text


def link_seed(text, rng):
    """Connect, then the capture in chunks of 1 to 255 characters with a
    second passing at every GGA sentence, then a stop."""
    out = bytearray([CONNECT])
    pos = 0
    while pos < len(text):
        gga = text.find(b"GGA,", pos + 1)
        end = len(text) if gga < 0 else max(gga - 3, pos + 1)
        while pos < end:
            n = min(end - pos, rng.randint(1, 255))
            out += bytes([RECEIVE, n]) + text[pos:pos + n]
            pos += n
        out.append(SECOND)
    out.append(PRESS)
    return bytes(out)


def scanner_seed(text, rng):
    out = bytearray()
    pos = 0
    while pos < len(text):
        n = min(len(text) - pos, rng.randint(0, 239))
        out += bytes([n]) + text[pos:pos + n]
        pos += n
    return bytes(out)


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def write_capture_seeds(captures, out):
    rng = random.Random(20261206)
    for name in CAPTURE_FILES:
        stem = os.path.splitext(name)[0]
        write(os.path.join(out, "link"), stem,
              link_seed(sentences_of(captures, name, 2800), rng))
        write(os.path.join(out, "scanner"), stem,
              scanner_seed(sentences_of(captures, name, 3000), rng))


def write_hand_made_seeds():
    link_dir = os.path.join(HERE, "corpus", "link")
    scanner_dir = os.path.join(HERE, "corpus", "scanner")
    rng = random.Random(20261207)

    # A whole run from the script's own sentences: connect, five GGA sentences
    # a second apart, the confirmation, silence until the shut-down report.
    run = bytearray([CONNECT])
    for s in range(6):
        run += bytes([SENTENCE, 0, 1, 2, 0, 0, 1, s, 40, SECOND])
    run += bytes([SECOND] * 8 + [PRESS])
    write(link_dir, "whole-run", bytes(run))

    # The same run left standing for a day and a half after the cold start,
    # with and without a confirmation.
    standing = bytearray([CONNECT])
    for s in range(5):
        standing += bytes([SENTENCE, 0, 1, 2, 0, 0, 1, s, 40, SECOND])
    write(link_dir, "left-unconfirmed", bytes(standing + bytes([LONG_WAIT, 255])))
    write(link_dir, "left-confirmed", bytes(run[:-9] + bytes([LONG_WAIT, 255])))

    # Over a thousand receive events with nothing in them: the event count
    # wraps from 1000 to 0.
    write(link_dir, "event-count-wraps",
          bytes([CONNECT] + [RECEIVE, 0] * 1005 + [SECOND] * 2 + [PRESS]))

    # No data at all after connecting, then a stop.
    write(link_dir, "no-data", bytes([CONNECT] + [SECOND] * 4 + [PRESS]))

    # Characters at a wrong baud rate for eight seconds.
    noise = bytes(rng.choice(b"\x00\x80\xf8\xfe$,\r\n") for _ in range(120))
    mismatch = bytearray([CONNECT])
    for _ in range(8):
        mismatch += bytes([RECEIVE, len(noise)]) + noise + bytes([SECOND])
    write(link_dir, "mismatch", bytes(mismatch))

    # An unfinished sentence that outgrows the scanner's limit, then a sentence.
    long_line = b"$GPGGA," + b"9" * 5000
    tail = b"$GPRMC,020935.000,A,4404.1351,N,12118.8556,W,0.0,0.0,040219,,,A*6C\r\n"
    seed = bytearray()
    for pos in range(0, len(long_line), 200):
        piece = long_line[pos:pos + 200]
        seed += bytes([len(piece)]) + piece
    seed += bytes([len(tail)]) + tail
    write(scanner_dir, "over-limit", bytes(seed))


def main():
    if len(sys.argv) == 1:
        write_hand_made_seeds()
    elif len(sys.argv) == 3:
        write_capture_seeds(sys.argv[1], sys.argv[2])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
