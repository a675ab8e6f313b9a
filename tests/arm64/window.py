#!/usr/bin/env python3
"""The ARM64 window program under the emulator, in a virtual display of its own: its window
appears with the exact caption, and Esc ends it with exit code 0.

    window.py PROGRAM EMULATOR...     e.g. window.py build/arm64/morvane qemu-aarch64 -L /
"""

import os
import subprocess
import sys
import time

CAPTION = "Morvane, press space -> speed - full/idle "  # exact, trailing blank included
LIMIT = 90  # seconds for each step: the emulator starts slowly


def main():
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "800x600x24", "-nolisten", "tcp"],
                            pass_fds=(write_end,), stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as display:
        env = dict(os.environ, DISPLAY=":" + display.readline().strip())
    env.pop("WAYLAND_DISPLAY", None)
    xdotool = lambda *words: subprocess.run(["xdotool", *words], env=env, capture_output=True, text=True,
                                            timeout=30, check=False).stdout.strip()
    morvane = subprocess.Popen(sys.argv[2:] + [sys.argv[1]], env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True)
    try:
        deadline, window = time.monotonic() + LIMIT, ""
        while not window and morvane.poll() is None and time.monotonic() < deadline:
            window = xdotool("search", "--onlyvisible", "--name", "^Morvane").split("\n")[0]
            time.sleep(0.25)
        if not window:
            return f"no window within {LIMIT} s (exit code {morvane.poll()})"
        caption = subprocess.run(["xdotool", "getwindowname", window], env=env, capture_output=True, text=True,
                                 timeout=30, check=False).stdout.removesuffix("\n")
        if caption != CAPTION:
            return f"the caption is {caption!r}, not {CAPTION!r}"
        xdotool("windowfocus", "--sync", window)
        xdotool("key", "Escape")
        try:
            code = morvane.wait(timeout=LIMIT)
        except subprocess.TimeoutExpired:
            return f"still running {LIMIT} s after Esc"
        return None if code == 0 else f"Esc ended it with exit code {code}"
    finally:
        if morvane.poll() is None:
            morvane.kill()
        print(morvane.communicate()[0], end="")
        xvfb.terminate()
        xvfb.wait()


if __name__ == "__main__":
    problem = main()
    print(f"FAIL - {problem}" if problem else f"ok - the window showed {CAPTION!r} and Esc ended it with 0")
    sys.exit(1 if problem else 0)
