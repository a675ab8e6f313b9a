// The host's own logic, the same on every platform: frame size from the screen, the start-up
// sequence, the keys and the main loop. Reads the screen size and the keys; writes the
// scene's host fields and the frame buffers' addresses.
#pragma once

#include <cstdint>

#include "host/platform.h"

namespace morvane::host {

// The frame is the screen less 10 pixels on each axis, lowest bit cleared, so both sides
// are even. Returns false when the frame would be smaller than 2 x 2.
bool frame_size_for_screen(int screen_width, int screen_height, int& frame_width, int& frame_height);

// The seed of the ray field: the low 16 bits of the tick counter.
uint16_t seed_from_tick_counter();

// Start-up, split where the window is created in between:
// 1. seed and size the frame (frame fields, screen_centre, colour_buffer_size);
bool set_frame_size(int screen_width, int screen_height, uint16_t seed);
// 2. (the window) 3. allocate both frame buffers; false when memory is short;
bool allocate_frame_buffers();
// 4. build the ray field, set the starting zoom and prepare the geometry.
void prepare_scene();
// Frees the frame buffers (tools and tests; the program keeps them to the end).
void release_frame_buffers();

// A key-down as the window procedure handles it: Space toggles speed_mode (auto-repeats
// included), Esc returns true, meaning "post the quit message with code 0", any other key is
// ignored. Closing the window posts the quit message with code 0 too; the platform does that.
enum class Key { space, escape, other };
bool handle_key_down(Key key);

// The main loop: render, count the frame, present, pause 3 ms when idle, handle at most one
// message; returns the quit code.
int run_main_loop(platform::Window* window);

// The whole program: start-up, main loop, exit code. Messages for bad conditions go to
// stderr, prefixed "morvane: ".
int program_entry();

} // namespace morvane::host
