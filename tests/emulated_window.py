#!/usr/bin/env python3
"""A build for another system or processor (the Windows program under Wine, the ARM64 one under
qemu-aarch64), used as a person would, in the X display of DISPLAY:
    emulated_window.py PROGRAM SCREENSHOT.ppm RUNNER...    e.g. RUNNER = qemu-aarch64 -L /
Every step has a generous deadline and waits on a condition, never a fixed time.
"""

import os
import subprocess
import sys
import tempfile
import time

CAPTION = "Morvane, press space -> speed - full/idle "  # the trailing blank included
DEADLINE = 90  # seconds: Wine may still be settling when the first window opens, qemu starts slowly


def x(*command):
    return subprocess.run(command, capture_output=True, timeout=60, check=False).stdout


def wait_until(condition, what):
    end = time.monotonic() + DEADLINE
    while time.monotonic() < end:
        if value := condition():
            return value
        time.sleep(0.2)
    raise AssertionError(f"not within {DEADLINE} s: {what}")


def screenshot(window):
    """The window's pixels, RGB bytes from a binary PPM; the whole PPM in [0]."""
    data = x("import", "-window", window, "-depth", "8", "ppm:-")
    fields = data.split(maxsplit=4)
    return (data, fields[4]) if len(fields) == 5 and fields[0] == b"P6" else (data, b"")


def slab_drawn(shot):
    """The slab drawn over the black frame: lit, many colours, black around it."""
    pixels = [shot[i:i + 3] for i in range(0, len(shot), 21)]  # every seventh pixel
    black = sum(1 for p in pixels if max(p) <= 8)
    return 0.05 * len(pixels) <= black <= 0.98 * len(pixels) and len(set(pixels)) >= 64


def main():
    program, screenshot_path, runner = sys.argv[1], sys.argv[2], sys.argv[3:]
    root = x("xwininfo", "-root").decode()
    size = [int(line.split()[1]) for line in root.splitlines() if line.strip().startswith(("Width:", "Height:"))]
    with tempfile.TemporaryFile() as output:
        running = subprocess.Popen(runner + [program], stdout=output, stderr=subprocess.STDOUT)
        try:
            # The window: the exact caption, a client area of the screen less 10 pixels (even sizes).
            window = wait_until(lambda: running.poll() is None and x(
                "xdotool", "search", "--onlyvisible", "--name", "^Morvane").split(), "a window named Morvane")[0]
            assert x("xdotool", "getwindowname", window).decode() == CAPTION + "\n", "the caption is not exact"
            info = x("xwininfo", "-id", window).decode()
            assert f"Width: {(size[0] - 10) & ~1}\n" in info and f"Height: {(size[1] - 10) & ~1}\n" in info, info
            first = wait_until(lambda: (shot := screenshot(window)) and slab_drawn(shot[1]) and shot,
                               "the slab drawn: lit, in many colours, black around it")
            with open(screenshot_path, "wb") as out:
                out.write(first[0])
            # The picture moves, and after Space twice more with the program running; Esc ends it.
            for key in ("", "space", "", ""):
                if key:
                    x("xdotool", "windowfocus", "--sync", window, "key", key)
                last = screenshot(window)[1]
                wait_until(lambda: running.poll() is not None or screenshot(window)[1] != last, f"frames after {key}")
            assert running.poll() is None, f"Space ended the program with exit code {running.returncode}"
            x("xdotool", "windowfocus", "--sync", window, "key", "Escape")
            assert running.wait(timeout=30) == 0, f"Esc ended it with exit code {running.returncode}"
            # Without a display it says why and fails.
            alone = subprocess.run(runner + [program], env={k: v for k, v in os.environ.items() if k != "DISPLAY"},
                                   capture_output=True, timeout=DEADLINE, check=False)
            said = alone.stderr.decode(errors="replace")
            assert alone.returncode != 0 and "morvane: cannot open a window: " in said, f"without a display: {said}"
        except (AssertionError, subprocess.TimeoutExpired) as failure:
            running.kill()
            running.wait()
            output.seek(0)
            print(f"FAIL: {failure}\nthe program said: {output.read().decode(errors='replace')}")
            return 1
    print(f"end to end under {runner[0]}: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
