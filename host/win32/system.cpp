// Memory, time and the pinned worker pair on Windows, straight from the kernel's own calls.
#include "host/win32/win32.h"

#include <cstdio>
#include <cstring>

#if defined(_M_X64) || defined(_M_IX86) || defined(__x86_64__) || defined(__i386__)
#include <intrin.h>
#define MORVANE_HAVE_RDTSC 1
#endif

#include "host/platform.h"
#include "pipeline/pipeline.h"

namespace morvane::win32 {

void describe_last_error(const char* what, char* error, size_t error_size)
{
    const DWORD code = GetLastError();
    if (error == nullptr || error_size == 0) return;
    if (code == 0) {  // the call failed without setting a cause (Wine with no X display does)
        std::snprintf(error, error_size, "%s failed and the system gives no reason", what);
        return;
    }
    char text[256] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                  text, sizeof text, nullptr);
    // The system's texts end in ".\r\n"; the line is the caller's to end.
    while (length > 0 && std::strchr("\r\n. ", text[length - 1]) != nullptr) text[--length] = '\0';
    std::snprintf(error, error_size, "%s failed%s%s (error %lu)", what, length > 0 ? ": " : "", text,
                  static_cast<unsigned long>(code));
}

void report_without_console(const char* message)
{
    // A windows-subsystem program started from the desktop has no standard error: the stderr
    // line the host writes would reach nobody, so the cause is shown in a box as well.
    const HANDLE standard_error = GetStdHandle(STD_ERROR_HANDLE);
    if (standard_error == nullptr || standard_error == INVALID_HANDLE_VALUE) {
        MessageBoxA(nullptr, message, "Morvane", MB_OK | MB_ICONERROR);
    }
}

namespace {

// What one worker thread runs: the entry with its fixed index. Lives on the starting
// thread's stack, which outlasts the worker because the start waits for its end.
struct WorkerStart {
    void (*entry)(int index);
    int index;
};

DWORD WINAPI worker_thread(void* parameter)
{
    const auto* start = static_cast<const WorkerStart*>(parameter);
    start->entry(start->index);
    return 0;
}

// The lowest processor in `allowed`, as a one-bit mask (0 when there is none).
DWORD_PTR lowest_processor(DWORD_PTR allowed) { return allowed & (~allowed + 1); }

} // namespace

} // namespace morvane::win32

namespace morvane::platform {

void run_pinned_worker_pair(void (*entry)(int index))
{
    win32::WorkerStart starts[2] = {{entry, 0}, {entry, 1}};

    // The first and the second processor this process may use: masks 1 and 2 on an ordinary
    // machine. With a single one, worker 1 is left unrestricted.
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) || process_mask == 0) {
        process_mask = 3;
    }
    const DWORD_PTR first = win32::lowest_processor(process_mask);
    const DWORD_PTR processors[2] = {first, win32::lowest_processor(process_mask & ~first)};

    // Both are created held, raised and pinned before either runs, then let go in order.
    HANDLE workers[2];
    for (int i = 0; i < 2; ++i) {
        workers[i] = CreateThread(nullptr, 0, win32::worker_thread, &starts[i], CREATE_SUSPENDED, nullptr);
        if (workers[i] == nullptr) continue;
        SetThreadPriority(workers[i], THREAD_PRIORITY_TIME_CRITICAL);
        if (processors[i] != 0) SetThreadAffinityMask(workers[i], processors[i]);
    }
    HANDLE running[2];
    DWORD running_count = 0;
    for (const HANDLE worker : workers) {
        if (worker == nullptr) continue;
        ResumeThread(worker);
        running[running_count++] = worker;
    }
    // A worker the system would not start runs here instead, so the frame is still whole;
    // each writes only its own rows, so it may overlap the other.
    for (int i = 0; i < 2; ++i) {
        if (workers[i] == nullptr) entry(i);
    }
    if (running_count > 0) WaitForMultipleObjects(running_count, running, TRUE, INFINITE);
    for (DWORD i = 0; i < running_count; ++i) CloseHandle(running[i]);
}

void* allocate_frame_buffer(size_t bytes)
{
    // Committed pages come zero-filled and page-aligned, well past the 64 bytes promised.
    void* buffer = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (buffer == nullptr) {
        char message[320];
        char cause[256];
        win32::describe_last_error("VirtualAlloc", cause, sizeof cause);
        std::snprintf(message, sizeof message, "cannot allocate a frame buffer of %zu bytes: %s", bytes, cause);
        win32::report_without_console(message);
    }
    return buffer;
}

void free_frame_buffer(void* buffer)
{
    if (buffer != nullptr) VirtualFree(buffer, 0, MEM_RELEASE);
}

uint64_t tick_counter()
{
#if defined(MORVANE_HAVE_RDTSC)
    return __rdtsc();
#else
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<uint64_t>(now.QuadPart);
#endif
}

void sleep_ms(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

void use_parent_console()
{
    // Output redirected to a file or a pipe is used as it is.
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output != nullptr && output != INVALID_HANDLE_VALUE) return;
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;  // started from the desktop
    (void)std::freopen("CONOUT$", "w", stdout);
    (void)std::freopen("CONOUT$", "w", stderr);
}

} // namespace morvane::platform
