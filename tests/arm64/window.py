#!/usr/bin/env python3
"""The ARM64 window program, run under the emulator in a virtual display of its own: its window
appears with the exact caption, and Esc ends it with exit code 0.

    window.py PROGRAM EMULATOR...     e.g. window.py build/arm64/morvane qemu-aarch64 -L /
"""

import os
import subprocess
import sys
import tempfile
import time

CAPTION = "Morvane, press space -> speed - full/idle "  # exact, trailing blank included
LIMIT = 90  # seconds for each step: the emulator starts slowly


def x_tool(env, *arguments):
    result = subprocess.run(arguments, env=env, capture_output=True, timeout=30, check=False)
    return result.stdout.decode(errors="replace")


def main():
    program, emulator = sys.argv[1], sys.argv[2:]
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "800x600x24", "-nolisten", "tcp"],
                            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as display:
        env = dict(os.environ, DISPLAY=":" + display.readline().strip())
    env.pop("WAYLAND_DISPLAY", None)
    output = tempfile.TemporaryFile()
    morvane = subprocess.Popen(emulator + [program], env=env, stdout=output, stderr=subprocess.STDOUT)
    problem = None
    try:
        window = None
        deadline = time.monotonic() + LIMIT
        while window is None and problem is None:
            if morvane.poll() is not None:
                problem = f"the program ended before its window appeared (exit code {morvane.returncode})"
            elif time.monotonic() > deadline:
                problem = f"no window named {CAPTION!r} within {LIMIT} s"
            for found in x_tool(env, "xdotool", "search", "--onlyvisible", "--name", "^Morvane").split():
                window = found
            time.sleep(0.25)
        if problem is None:
            caption = x_tool(env, "xdotool", "getwindowname", window).removesuffix("\n")
            if caption != CAPTION:
                problem = f"the caption is {caption!r}, not {CAPTION!r}"
        if problem is None:
            print(f"ok - the window appears with the caption {CAPTION!r}")
            x_tool(env, "xdotool", "windowfocus", "--sync", window)
            x_tool(env, "xdotool", "key", "Escape")
            try:
                code = morvane.wait(timeout=LIMIT)
                problem = None if code == 0 else f"Esc ended it with exit code {code}"
            except subprocess.TimeoutExpired:
                problem = f"still running {LIMIT} s after Esc"
        if problem is None:
            print("ok - Esc ends the program with exit code 0")
    finally:
        if morvane.poll() is None:
            morvane.kill()
            morvane.wait()
        xvfb.terminate()
        xvfb.wait()
    if problem is not None:
        output.seek(0)
        print(f"FAIL - {problem}\n# the program's output:\n{output.read().decode(errors='replace')}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
