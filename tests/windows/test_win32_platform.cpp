// The Windows platform layer: frame memory, the tick counter, the pinned worker pair, the
// window with its class, handler, presentation and message pump, and files that appear whole.
// Runs on Windows or under Wine, with a display (the window cases open real windows).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <process.h>
#include <string>

#include "host/host.h"
#include "host/platform.h"
#include "host/win32/win32.h"
#include "pipeline/pipeline.h"
#include "scene/scene.h"
#include "tools/pending_file.h"

using namespace morvane;

namespace {

constexpr const char* caption = "Morvane, press space -> speed - full/idle ";
constexpr const char* class_name = "tilvex";

TEST(Win32Platform, MemoryIsZeroedAlignedOrNullAndTheTickCounterRuns)
{
    const size_t bytes = size_t{1910} * 1070 * 4;
    auto* buffer = static_cast<uint32_t*>(platform::allocate_frame_buffer(bytes));
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer) % 64, 0u);
    EXPECT_EQ(std::count(buffer, buffer + bytes / 4, 0u), ptrdiff_t(bytes / 4));
    buffer[bytes / 4 - 1] = 1;  // writable to the end
    platform::free_frame_buffer(buffer);
    EXPECT_EQ(platform::allocate_frame_buffer(SIZE_MAX / 2), nullptr);
    platform::free_frame_buffer(nullptr);

    const uint64_t first = platform::tick_counter();
    uint64_t later = first;
    for (int i = 0; i < 100'000'000 && later == first; ++i) later = platform::tick_counter();
    EXPECT_GT(later, first);
}

struct WorkerRecord {
    int calls = 0, priority = 0;
    DWORD thread = 0, processor = 0;
    bool met_other = false, finished = false;
} records[2];
HANDLE started[2];

void record(int index)
{
    records[index] = {records[index].calls + 1, GetThreadPriority(GetCurrentThread()), GetCurrentThreadId(),
                      GetCurrentProcessorNumber()};
    // Each waits for the other: run one after the other, the first would wait in vain.
    SetEvent(started[index]);
    records[index].met_other = WaitForSingleObject(started[1 - index], 30'000) == WAIT_OBJECT_0;
    if (index == 1) Sleep(50);  // the later one decides when the pair may return
    records[index].finished = true;
}

TEST(Win32Platform, WorkersRunOnceEachAtOnceOnTheirOwnTimeCriticalPinnedThreads)
{
    for (HANDLE& event : started) event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    platform::run_pinned_worker_pair(record);
    for (const WorkerRecord& r : records) {
        EXPECT_TRUE(r.calls == 1 && r.met_other && r.finished && r.thread != GetCurrentThreadId());
        EXPECT_EQ(r.priority, THREAD_PRIORITY_TIME_CRITICAL);
    }
    EXPECT_NE(records[0].thread, records[1].thread);
    for (HANDLE event : started) CloseHandle(event);
    DWORD_PTR process_mask = 0, system_mask = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask));
    if ((process_mask & 3) != 3) GTEST_SKIP() << "the process may not use processors 0 and 1 (mask " << process_mask << ")";
    EXPECT_TRUE(records[0].processor == 0 && records[1].processor == 1);
}

void drain_messages()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

// Opens the window, and checks its client area is the frame's size.
platform::Window* open_test_window(int width, int height, HWND& handle)
{
    char error[256] = "";
    platform::Window* window = platform::open_window(width, height, caption, class_name, error, sizeof error);
    EXPECT_NE(window, nullptr) << error;
    handle = FindWindowA(class_name, caption);
    drain_messages();
    RECT client{};
    EXPECT_TRUE(GetClientRect(handle, &client) && client.right == width && client.bottom == height)
        << client.right << " x " << client.bottom;
    return window;
}

// Pumps until the quit message arrives, at most `limit` calls; -1 when it never does.
int pump_until_quit(platform::Window* window, int limit = 100)
{
    for (int i = 0, code = -1; i < limit; ++i) {
        if (platform::handle_pending_event(window, code)) return code;
    }
    return -1;
}

TEST(Win32Window, AScreenSizedWindowKeepsItsClientAreaAndTheClassIsFreedForTheNext)
{
    // Real pixels, whatever the DPI; the frame is the screen less 10 pixels, so with its title
    // bar the window is taller than the screen, which the system would cut short by default.
    int screen_width = 0, screen_height = 0;
    char error[256] = "";
    ASSERT_TRUE(platform::screen_size(screen_width, screen_height, error, sizeof error)) << error;
    EXPECT_TRUE(IsProcessDPIAware());
    DEVMODEA mode{};
    mode.dmSize = sizeof mode;
    ASSERT_TRUE(EnumDisplaySettingsA(nullptr, ENUM_CURRENT_SETTINGS, &mode));
    EXPECT_TRUE(DWORD(screen_width) == mode.dmPelsWidth && DWORD(screen_height) == mode.dmPelsHeight);
    // Closing unregisters the class, so the next test's window opens.
    HWND handle = nullptr;
    platform::Window* window = open_test_window((screen_width - 10) & ~1, (screen_height - 10) & ~1, handle);
    ASSERT_NE(window, nullptr);
    platform::close_window(window);
    drain_messages();
}

TEST(Win32Window, ClassStylePresentationKeysAndTheOneMessageAFramePump)
{
    HWND handle = nullptr;
    platform::Window* window = open_test_window(320, 200, handle);
    ASSERT_NE(window, nullptr);
    reset_scene();
    RECT outer{};
    EXPECT_TRUE(GetWindowRect(handle, &outer) && outer.left == 0 && outer.top == 0 && IsWindowVisible(handle));
    ASSERT_NE(handle, nullptr) << "no window of the class with the exact caption";
    // A title bar, system menu and minimise box; neither resizable nor maximisable.
    EXPECT_EQ(GetWindowLongPtrA(handle, GWL_STYLE) & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_THICKFRAME | WS_MAXIMIZEBOX),
              WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
    WNDCLASSA registered{};
    ASSERT_TRUE(GetClassInfoA(GetModuleHandleA(nullptr), class_name, &registered));
    // The drawing context is fetched once and kept (CS_OWNDC).
    EXPECT_TRUE(registered.lpfnWndProc == &win32::window_procedure && registered.hIcon == LoadIconA(nullptr, IDI_APPLICATION) &&
                registered.hCursor == LoadCursorA(nullptr, IDC_ARROW) &&
                reinterpret_cast<INT_PTR>(registered.hbrBackground) == 1 && registered.style == UINT{CS_OWNDC});

    // Top-down B, G, R, X, shown 1:1: red from the column, green from the row, the X byte ignored.
    static Pixel image[320 * 200];
    for (int y = 0; y < 200; ++y) {
        for (int x = 0; x < 320; ++x) image[y * 320 + x] = 0xA5000000u | uint32_t(x & 0xFF) << 16 | uint32_t(y) << 8 | 0x5A;
    }
    EXPECT_EQ(platform::present(window, image, 320, 200), nullptr);
    GdiFlush();
    HDC dc = GetDC(handle);
    for (const auto& [x, y] : {std::pair{0, 0}, {319, 0}, {0, 199}, {319, 199}, {17, 3}, {200, 150}}) {
        EXPECT_EQ(GetPixel(dc, x, y), RGB(x & 0xFF, y, 0x5A)) << "at " << x << ", " << y;
    }
    ReleaseDC(handle, dc);

    // Space toggles (auto-repeats too), other keys do nothing, nothing pending returns at once.
    int code = -1;
    EXPECT_FALSE(platform::handle_pending_event(window, code));
    for (const int key : {int{'A'}, VK_RETURN, VK_F4, VK_LEFT, int{'Q'}}) SendMessageA(handle, WM_KEYDOWN, WPARAM(key), 0);
    EXPECT_EQ(scene.speed_mode, 1);
    SendMessageA(handle, WM_KEYDOWN, VK_SPACE, 0);
    EXPECT_EQ(scene.speed_mode, 0);
    SendMessageA(handle, WM_KEYDOWN, VK_SPACE, 0x40000000);
    EXPECT_EQ(scene.speed_mode, 1);
    EXPECT_FALSE(platform::handle_pending_event(window, code) || code != -1) << "no key but Esc quits";

    // One message per call, in queue order: Space, Space, Esc queued between two frames.
    for (const auto& [key, flags] : {std::pair{VK_SPACE, 0}, {VK_SPACE, 0x40000000}, {VK_ESCAPE, 0}}) {
        ASSERT_TRUE(PostMessageA(handle, WM_KEYDOWN, key, flags));
    }
    EXPECT_FALSE(platform::handle_pending_event(window, code));
    EXPECT_EQ(scene.speed_mode, 0) << "only the first Space is handled by the first call";
    EXPECT_EQ(pump_until_quit(window), 0);
    EXPECT_EQ(scene.speed_mode, 1);
    PostQuitMessage(7);
    EXPECT_EQ(pump_until_quit(window), 7) << "the quit code is the message's";

    // The title bar's close box and the system menu's Close.
    SendMessageA(handle, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(handle));
    EXPECT_EQ(pump_until_quit(window), 0);
    platform::close_window(window);  // after the window is gone already
}

TEST(Win32Files, ReplaceAnExistingFileAndStepOverATemporaryLeftByAKilledRun)
{
    const std::string name = "pending-file-test.txt";
    const std::string stale[] = {name + ".partial", name + ".partial-" + std::to_string(_getpid())};
    for (const std::string& left : stale) std::fclose(std::fopen(left.c_str(), "wb"));
    std::string error;
    ASSERT_TRUE(tools::write_whole_file(name, "old", 3, error)) << error;
    ASSERT_TRUE(tools::write_whole_file(name, "new!", 4, error)) << error;
    std::ifstream file(name, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "new!");
    file.close();
    for (const std::string& left : {name, stale[0], stale[1]}) std::remove(left.c_str());
}

} // namespace
