#!/usr/bin/env python3
"""The Windows program under Wine, used as a person would, in the X display of DISPLAY.

The window appears with the exact caption and a client area of the screen less 10 pixels (even
sizes); it shows the slab, moving; Space does not end the program, Esc ends it with exit code
0; with no display it says it cannot open a window and exits non-zero.
    end_to_end.py PROGRAM.exe RUN_UNDER_WINE SCREENSHOT.ppm
Every step has a generous deadline and waits on a condition, never a fixed time.
"""

import os
import subprocess
import sys
import tempfile
import time

CAPTION = "Morvane, press space -> speed - full/idle "  # the trailing blank included
DEADLINE = 90  # seconds: Wine may still be settling when the first window opens


def x(*command, binary=False):
    done = subprocess.run(command, capture_output=True, timeout=60, check=False)
    return done.stdout if binary else done.stdout.decode(errors="replace")


def wait_until(condition, what):
    end = time.monotonic() + DEADLINE
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.2)
    raise AssertionError(f"not within {DEADLINE} s: {what}")


def screenshot(window):
    """(width, height, RGB bytes) of the window, from a binary PPM."""
    data = x("import", "-window", window, "-depth", "8", "ppm:-", binary=True)
    fields = data.split(maxsplit=4)
    if len(fields) < 5 or fields[0] != b"P6":
        return None
    return int(fields[1]), int(fields[2]), fields[4][:int(fields[1]) * int(fields[2]) * 3]


def picture_problem(shot):
    """None when the slab is drawn over the black frame: lit, many colours, black around it."""
    pixels = [shot[2][i:i + 3] for i in range(0, len(shot[2]), 21)]  # every seventh pixel
    black = sum(1 for p in pixels if max(p) <= 8)
    colours = len(set(pixels))
    if black > 0.98 * len(pixels) or black < 0.05 * len(pixels) or colours < 64:
        return f"{black} of {len(pixels)} sampled pixels black, {colours} colours"
    return None


def main():
    program, runner, screenshot_path = sys.argv[1:4]
    root = x("xwininfo", "-root")
    size = [int(line.split()[1]) for line in root.splitlines() if line.strip().startswith(("Width:", "Height:"))]
    frame = ((size[0] - 10) & ~1, (size[1] - 10) & ~1)
    with tempfile.TemporaryFile() as output:
        running = subprocess.Popen([runner, program], stdout=output, stderr=subprocess.STDOUT)
        try:
            window = wait_until(lambda: running.poll() is None and x(
                "xdotool", "search", "--onlyvisible", "--name", "^Morvane").split(), "a window named Morvane")[0]
            assert x("xdotool", "getwindowname", window) == CAPTION + "\n", "the caption is not exact"
            info = x("xwininfo", "-id", window)
            assert f"Width: {frame[0]}\n" in info and f"Height: {frame[1]}\n" in info, f"not {frame}: {info}"
            first = wait_until(lambda: (shot := screenshot(window)) and not picture_problem(shot) and shot,
                               "the slab drawn: lit, in many colours, black around it")
            with open(screenshot_path, "wb") as out:
                out.write(b"P6\n%d %d\n255\n" % first[:2] + first[2])
            wait_until(lambda: screenshot(window)[2] != first[2], "the picture moving")
            x("xdotool", "windowfocus", "--sync", window)
            x("xdotool", "key", "space")
            # Frames go on after Space: the picture moves twice more with the program running.
            for _ in range(2):
                last = screenshot(window)[2]
                wait_until(lambda: running.poll() is not None or screenshot(window)[2] != last, "frames after Space")
            assert running.poll() is None, f"Space ended the program with exit code {running.returncode}"
            x("xdotool", "windowfocus", "--sync", window)
            x("xdotool", "key", "Escape")
            assert running.wait(timeout=30) == 0, f"Esc ended it with exit code {running.returncode}"
            # Without a display (wine itself: the runner would start one) it says why and fails.
            alone = subprocess.run(["wine", program], env={k: v for k, v in os.environ.items() if k != "DISPLAY"},
                                   capture_output=True, timeout=DEADLINE, check=False)
            said = alone.stderr.decode(errors="replace")
            assert alone.returncode != 0 and "morvane: cannot open a window: " in said, f"without a display: {said}"
        except (AssertionError, subprocess.TimeoutExpired) as failure:
            running.kill()
            running.wait()
            output.seek(0)
            print(f"FAIL: {failure}\nthe program said: {output.read().decode(errors='replace')}")
            return 1
    print("end-to-end under Wine: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
