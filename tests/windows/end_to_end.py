#!/usr/bin/env python3
"""End-to-end test of the Windows program under Wine, as a person would use it.

Starts morvane.exe in an X display (a virtual one of its own unless DISPLAY is set), then
checks: the window appears with the exact caption; its client area is the screen less 10
pixels on each axis (lowest bit cleared); the picture is drawn and moves; Space does not end
the program; Esc ends it with exit code 0; started with no display it says it cannot open a
window and exits non-zero. Keeps a screenshot of the client area.

    end_to_end.py --program build/windows/morvane.exe --runner tests/windows/run-under-wine.sh
                  [--screenshot end_to_end.png] [--screen 1024x768]

Needs Wine, Xvfb, xdotool, xwininfo and ImageMagick's import. Every step has a time limit.
Uses WINEPREFIX when set together with DISPLAY; otherwise a temporary prefix of its own,
whose wineserver it stops and which it removes at the end.
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

CAPTION = "Morvane, press space -> speed - full/idle "  # exact, trailing blank included

# Time limits, in seconds: generous, they only bound a step that would otherwise hang.
PREFIX_LIMIT = 180      # a fresh Wine prefix
WINDOW_LIMIT = 60       # the first window of a program (Wine may still be settling)
PICTURE_LIMIT = 60      # the first non-black frame, and the first change of the picture
COMMAND_LIMIT = 30      # one X tool
ALIVE_AFTER_SPACE = 2   # Space must not end the program: it is still running after this
EXIT_LIMIT = 30         # from Esc to the end of the process


class Failure(Exception):
    reported = False  # already counted as a failed check


def run(command, env, limit=COMMAND_LIMIT, binary=False):
    result = subprocess.run(command, env=env, capture_output=True, timeout=limit, check=False)
    if result.returncode != 0:
        raise Failure(f"{' '.join(command)} failed ({result.returncode}): "
                      f"{result.stderr.decode(errors='replace').strip()}")
    return result.stdout if binary else result.stdout.decode(errors="replace")


def start_xvfb(screen):
    """A virtual display of the given size on a free display number; returns (process, ':N')."""
    if shutil.which("Xvfb") is None:
        raise Failure("Xvfb is not installed (scripts/test-windows.sh installs it)")
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{screen}x24", "-nolisten", "tcp"],
        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    deadline = time.monotonic() + COMMAND_LIMIT
    while not number.endswith(b"\n"):
        if time.monotonic() > deadline or server.poll() is not None:
            server.kill()
            raise Failure("Xvfb did not start")
        chunk = os.read(read_end, 16)
        if not chunk:
            break
        number += chunk
    os.close(read_end)
    return server, ":" + number.decode().strip()


def screen_size(env):
    for line in run(["xwininfo", "-root"], env).splitlines():
        line = line.strip()
        if line.startswith("Width:"):
            width = int(line.split()[1])
        elif line.startswith("Height:"):
            height = int(line.split()[1])
    return width, height


def find_window(env, program):
    """The X window whose name is exactly the caption; waits for it to appear."""
    deadline = time.monotonic() + WINDOW_LIMIT
    while time.monotonic() < deadline:
        if program.poll() is not None:
            raise Failure(f"the program ended before its window appeared (exit code {program.returncode})")
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Morvane"], env=env,
                               capture_output=True, timeout=COMMAND_LIMIT, check=False)
        for window in found.stdout.decode().split():
            name = subprocess.run(["xdotool", "getwindowname", window], env=env, capture_output=True,
                                  timeout=COMMAND_LIMIT, check=False).stdout.decode()
            if name.endswith("\n"):
                name = name[:-1]
            if name == CAPTION:
                return window
            raise Failure(f"the window's caption is {name!r}, not {CAPTION!r}")
        time.sleep(0.25)
    raise Failure(f"no window named {CAPTION!r} appeared within {WINDOW_LIMIT} s")


def window_geometry(env, window):
    """Width and height of the X window that shows the client area."""
    values = {}
    for line in run(["xwininfo", "-id", window], env).splitlines():
        key, _, value = line.strip().partition(":")
        values[key] = value.strip()
    return int(values["Width"]), int(values["Height"])


def capture(env, window):
    """The visible part of the window as (width, height, RGB bytes)."""
    data = run(["import", "-window", window, "-depth", "8", "ppm:-"], env, binary=True)
    # P6, width, height, maximum, each after white space, then the samples.
    fields = []
    position = 0
    while len(fields) < 4:
        while data[position:position + 1].isspace():
            position += 1
        start = position
        while not data[position:position + 1].isspace():
            position += 1
        fields.append(data[start:position])
    if fields[0] != b"P6" or fields[3] != b"255":
        raise Failure("the screenshot is not an 8-bit PPM")
    width, height = int(fields[1]), int(fields[2])
    samples = data[position + 1:position + 1 + width * height * 3]
    return width, height, samples


def write_png(path, width, height, samples):
    def chunk(kind, payload):
        body = kind + payload
        return struct.pack(">I", len(payload)) + body + struct.pack(">I", zlib.crc32(body))

    rows = b"".join(b"\x00" + samples[y * width * 3:(y + 1) * width * 3] for y in range(height))
    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n")
        out.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        out.write(chunk(b"IDAT", zlib.compress(rows, 6)))
        out.write(chunk(b"IEND", b""))


def picture_problem(samples):
    """None when the samples look like the slab over a black frame, else what is wrong.

    A rendered frame is cleared to black and the slab with its rays covers only part of it,
    in many colours. All black means nothing was drawn; no black at all means the window shows
    its background brush, not the frame; few colours means a flat fill, not a lit textured slab.
    """
    pixel_count = len(samples) // 3
    black = 0
    colours = set()
    for i in range(0, len(samples), 3 * 7):  # every seventh pixel is plenty
        pixel = samples[i:i + 3]
        if max(pixel) <= 8:
            black += 1
        elif len(colours) < 4096:
            colours.add(pixel)
    looked_at = (pixel_count + 6) // 7
    lit = looked_at - black
    if lit < looked_at * 0.02:
        return f"the client area is black ({lit} of {looked_at} sampled pixels lit)"
    if black < looked_at * 0.05:
        return f"the client area has no black background ({black} of {looked_at} sampled pixels black)"
    if len(colours) < 64:
        return f"the client area holds only {len(colours)} colours"
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--runner", required=True, help="runs a Windows program under Wine")
    parser.add_argument("--screenshot", default=None)
    parser.add_argument("--screen", default="1024x768", help="size of the virtual display")
    options = parser.parse_args()

    for tool in ("wine", "xdotool", "xwininfo", "import"):
        if shutil.which(tool) is None:
            print(f"FAIL - {tool} is not installed (scripts/test-windows.sh installs it)")
            return 1

    env = dict(os.environ)
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    passed = 0
    failed = 0
    xvfb = None
    own_prefix = None
    program = None

    def check(description, problem):
        nonlocal passed, failed
        if problem is None:
            passed += 1
            print(f"ok - {description}", flush=True)
        else:
            failed += 1
            print(f"FAIL - {description}: {problem}", flush=True)
        return problem is None

    try:
        if not env.get("DISPLAY"):
            xvfb, env["DISPLAY"] = start_xvfb(options.screen)
            env.pop("WINEPREFIX", None)  # a prefix in use elsewhere may hold another display
        if not env.get("WINEPREFIX"):
            own_prefix = tempfile.mkdtemp(prefix="morvane-wine-")
            env["WINEPREFIX"] = own_prefix
            run(["wine", "wineboot", "--init"], env, limit=PREFIX_LIMIT)

        screen_width, screen_height = screen_size(env)
        frame_width = (screen_width - 10) & ~1
        frame_height = (screen_height - 10) & ~1
        print(f"# display {env['DISPLAY']}, {screen_width} x {screen_height}; "
              f"expecting a {frame_width} x {frame_height} frame", flush=True)

        # Its output goes to a file: a pipe nobody reads while it runs could fill and stall it.
        program_output = tempfile.TemporaryFile()
        program = subprocess.Popen([options.runner, options.program], env=env,
                                   stdout=program_output, stderr=subprocess.STDOUT)
        try:
            window = find_window(env, program)
        except Failure as failure:
            check("the window appears with the exact caption", str(failure))
            failure.reported = True
            raise
        check("the window appears with the exact caption", None)

        width, height = window_geometry(env, window)
        check(f"the client area is {frame_width} x {frame_height}",
              None if (width, height) == (frame_width, frame_height) else f"it is {width} x {height}")

        # The picture. Both checks need the real renderer: with the stages still stubbed the
        # frame stays black, and they fail by design.
        problem = "no screenshot"
        first = None
        deadline = time.monotonic() + PICTURE_LIMIT
        while time.monotonic() < deadline:
            first = capture(env, window)
            problem = picture_problem(first[2])
            if problem is None:
                break
            time.sleep(0.5)
        if options.screenshot and first is not None:
            write_png(options.screenshot, *first)
            print(f"# screenshot of the client area: {options.screenshot}", flush=True)
        check("[needs the renderer] the slab is drawn: lit, many colours, on a black background", problem)

        moved = "the picture never changed" if problem is None else "not looked at: there is no picture"
        deadline = time.monotonic() + PICTURE_LIMIT
        while problem is None and time.monotonic() < deadline:
            time.sleep(0.5)
            if capture(env, window)[2] != first[2]:
                moved = None
                break
        check("[needs the renderer] the picture moves from frame to frame", moved)

        run(["xdotool", "windowfocus", "--sync", window], env)
        run(["xdotool", "key", "space"], env)
        try:
            program.wait(timeout=ALIVE_AFTER_SPACE)
            check("Space does not end the program", f"it ended with exit code {program.returncode}")
        except subprocess.TimeoutExpired:
            check("Space does not end the program", None)

        if program.poll() is None:
            run(["xdotool", "windowfocus", "--sync", window], env)
            run(["xdotool", "key", "Escape"], env)
            try:
                code = program.wait(timeout=EXIT_LIMIT)
                check("Esc ends the program with exit code 0", None if code == 0 else f"exit code {code}")
            except subprocess.TimeoutExpired:
                check("Esc ends the program with exit code 0", f"still running {EXIT_LIMIT} s after Esc")

        # Without a display there is no window: the program must say so and fail, not hang.
        headless = {key: value for key, value in env.items() if key != "DISPLAY"}
        try:
            # (wine itself: the runner would start a virtual display)
            alone = subprocess.run(["wine", options.program], env=headless, capture_output=True,
                                   timeout=EXIT_LIMIT, check=False)
            said = alone.stderr.decode(errors="replace")
            problem = None
            if alone.returncode == 0:
                problem = "it exited with code 0"
            elif "morvane: cannot open a window: " not in said:
                problem = f"it exited with code {alone.returncode} and said {said.strip()!r}"
            check("with no display it says it cannot open a window and exits non-zero", problem)
        except subprocess.TimeoutExpired:
            check("with no display it says it cannot open a window and exits non-zero",
                  f"still running after {EXIT_LIMIT} s")
    except Failure as failure:
        if not failure.reported:
            check("the test could run", str(failure))
    except subprocess.TimeoutExpired as expired:
        check("the test could run", f"{expired.cmd} took longer than {expired.timeout} s")
    finally:
        if program is not None:
            if program.poll() is None:
                program.kill()
            program.wait(timeout=COMMAND_LIMIT)
            program_output.seek(0)
            output = program_output.read()
            program_output.close()
            if failed and output:
                print("# the program's output:\n" + output.decode(errors="replace"), flush=True)
        if own_prefix is not None:
            subprocess.run(["wineserver", "-k"], env=env, timeout=COMMAND_LIMIT, check=False)
            shutil.rmtree(own_prefix, ignore_errors=True)
        if xvfb is not None:
            xvfb.terminate()
            try:
                xvfb.wait(timeout=COMMAND_LIMIT)
            except subprocess.TimeoutExpired:
                xvfb.kill()

    print(f"end-to-end: {passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
