#!/usr/bin/env python3
"""Renders a tmux pane captured with `tmux capture-pane -e -p` to a PNG, in the
terminal's colours, with ImageMagick.  Usage: pane2png.py CAPTURE OUT.png"""
import re
import subprocess
import sys

COLOURS = {30: "#3b3b3b", 31: "#e0564e", 32: "#5fc24a", 33: "#d8a631", 34: "#5c9ded",
           35: "#c678dd", 36: "#56b6c2", 37: "#dcdcdc", 39: "#dcdcdc"}
CELL_W, CELL_H, PAD = 9, 18, 12
colour = COLOURS[39]  # carries over line ends, as on the terminal


def runs(line):
    """(colour, text) pieces of one line, SGR colour codes applied."""
    global colour
    out = []
    for part in re.split(r"(\x1b\[[0-9;]*m)", line):
        if part.startswith("\x1b["):
            for code in (int(c) if c else 0 for c in part[2:-1].split(";")):
                colour = COLOURS.get(code, COLOURS[39] if code == 0 else colour)
        elif part:
            out.append((colour, part))
    return out


def main():
    lines = open(sys.argv[1], encoding="utf-8").read().rstrip("\n").split("\n")
    width = max(len(re.sub(r"\x1b\[[0-9;]*m", "", l)) for l in lines) + 1
    args = ["convert", "-size", f"{width * CELL_W + 2 * PAD}x{len(lines) * CELL_H + 2 * PAD}",
            "xc:#1e1e1e", "-font", "DejaVu-Sans-Mono", "-pointsize", "14"]
    for row, line in enumerate(lines):
        col = 0
        for colour, text in runs(line):
            text_arg = text.replace("\\", "\\\\").replace("%", "%%")
            args += ["-fill", colour, "-annotate",
                     f"+{PAD + col * CELL_W}+{PAD + row * CELL_H + 14}", text_arg]
            col += len(text)
    subprocess.run(args + [sys.argv[2]], check=True)


if __name__ == "__main__":
    main()
