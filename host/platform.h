// The narrow interface to the operating system. Each platform layer under host/ provides it:
// host/posix (threads, memory, clock: every Unix program and tool), host/sdl (the window on
// Linux and other SDL desktops), host/win32 (all of it on Windows). The renderer (scene/,
// pipeline/, raster/, rays/) includes none of this: it gets what it needs as the
// PlatformServices that renderer_services() returns.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pipeline/pipeline.h"
#include "scene/scene.h"

namespace morvane::platform {

// ---- Memory, time and threads (host/posix, host/win32) ----

// The PlatformServices members (pipeline/pipeline.h), and the renderer's bundle of them.
void* allocate_frame_buffer(size_t bytes);
void free_frame_buffer(void* buffer);

// A free-running high-resolution counter (the time-stamp counter where there is one).
uint64_t tick_counter();

// A seed for the ray field that differs from run to run: the low 16 bits of the tick counter.
inline uint16_t seed_from_tick_counter() { return static_cast<uint16_t>(tick_counter() & 0xFFFFu); }

// Pauses the calling thread for about `milliseconds`.
void sleep_ms(int milliseconds);

// Where the program has no standard output of its own but was started from a console (a
// windows-subsystem program run from a terminal), sends stdout and stderr there. Nothing
// elsewhere.
void use_parent_console();

// Runs entry(0) and entry(1) on two fresh threads, pinned to the first and the second
// processor the process may use and at the highest ordinary (not real-time) priority it is
// granted, and returns when both have ended.
void run_pinned_worker_pair(void (*entry)(int index));
inline const PlatformServices& renderer_services()
{
    static constexpr PlatformServices services{allocate_frame_buffer, free_frame_buffer, run_pinned_worker_pair};
    return services;
}

// ---- The window (host/sdl, host/win32) ----

struct Window;

// Size of the primary screen in pixels. On failure returns false and fills `error` with the
// cause (for example: there is no display). Where the window system has to be started first
// (SDL), it is started here, once, for a program whose class is the scene's
// window_class_name, and stays up for open_window.
bool screen_size(int& width, int& height, char* error, size_t error_size);

// Opens the one window at screen position (0, 0) with a client area of exactly width x height,
// not resizable, with the given caption and class name. nullptr and `error` on failure.
Window* open_window(int width, int height, const char* caption, const char* class_name,
                    char* error, size_t error_size);

// Shows a top-down width x height image of B, G, R, X pixels 1:1 in the client area. Returns
// where the next frame may be drawn: the window's own pixels, when they are laid out exactly as
// a colour buffer of this size (rows of width x 4 bytes, 64-byte aligned), so that showing an
// image drawn there copies nothing; or nullptr, and the next frame goes to the program's own
// colour buffer. Those pixels stay the window's: they are valid until the next present or
// close_window, and a present may decline to show an image drawn there (when the window's
// size has changed meanwhile).
Pixel* present(Window* window, const Pixel* image, int width, int height);

// Handles at most one pending window event without waiting: a key press goes to
// host::handle_key_down (which may ask to quit), closing the window asks to quit with exit code
// 0. A request to quit is itself an event, queued behind the others; returns true once it has
// been taken, with its exit code in exit_code.
bool handle_pending_event(Window* window, int& exit_code);

// Releases the window and everything opened with it.
void close_window(Window* window);

} // namespace morvane::platform
