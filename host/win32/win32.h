// What the two files of the Windows platform layer share: the system headers, set up once,
// and the few helpers both use. Nothing outside host/win32 includes it (tests aside).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h: the timer resolution (timeBeginPeriod), which the lean headers leave out.
#include <mmsystem.h>

#include <cstddef>

namespace morvane::win32 {

// The window's message handler: Space and Esc go to the host's key handling, destroying the
// window posts the quit message with code 0, everything else gets the default handling.
LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Fills `error` with "WHAT failed: <the system's text for GetLastError()> (error N)".
void describe_last_error(const char* what, char* error, size_t error_size);

// Shows `message` in a message box when the process has no standard error to write it to
// (a windows-subsystem program started from the desktop); does nothing otherwise, where the
// caller's stderr line is seen.
void report_without_console(const char* message);

} // namespace morvane::win32
