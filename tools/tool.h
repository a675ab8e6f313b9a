// What every offline tool (morvane-render, morvane-bench) does alike when it runs: its exit
// codes, its one-line failures and the renderer's start-up for the screen it was given.
#pragma once

#include <cstdint>
#include <string>

namespace morvane::tools {

// 1: the run failed; 2: the command line was refused.
constexpr int exit_failed = 1;
constexpr int exit_bad_arguments = 2;

// Writes "program: message" on stderr and returns `code`.
int fail(const char* program, int code, const std::string& message);

// Sizes the frame for the screen, allocates both buffers and prepares the scene. Returns 0, or
// the exit code after saying why on stderr.
int start_for_screen(const char* program, int screen_width, int screen_height, uint16_t seed);

// Prints the usage (help) or the version line and returns exit code 0.
int answer(const char* text);

} // namespace morvane::tools
