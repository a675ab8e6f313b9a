// The Windows platform layer: frame memory, the tick counter, the pinned worker pair, the
// window with its class, handler, presentation and message pump. Runs on Windows or under
// Wine, with a display (the window cases open real windows).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
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

// ---- Frame memory ----

TEST(Win32Memory, FrameBufferIsZeroFilledAlignedAndWritable)
{
    const size_t bytes = size_t{1910} * 1070 * 4;  // the frame of a 1920 x 1080 screen
    auto* buffer = static_cast<uint32_t*>(platform::allocate_frame_buffer(bytes));
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer) % 64, 0u);
    size_t non_zero = 0;
    for (size_t i = 0; i < bytes / 4; ++i) non_zero += buffer[i] != 0;
    EXPECT_EQ(non_zero, 0u);
    buffer[0] = 0x476A6000u;
    buffer[bytes / 4 - 1] = 0x476A6000u;
    EXPECT_EQ(buffer[bytes / 4 - 1], 0x476A6000u);
    platform::free_frame_buffer(buffer);
}

TEST(Win32Memory, ImpossibleSizeGivesNull)
{
    // Far past any address space: the host must see the failure, not a bad pointer.
    EXPECT_EQ(platform::allocate_frame_buffer(SIZE_MAX / 2), nullptr);
    platform::free_frame_buffer(nullptr);  // and freeing nothing is harmless
}

// ---- Time ----

TEST(Win32Time, TickCounterRunsForward)
{
    const uint64_t first = platform::tick_counter();
    uint64_t later = first;
    for (int i = 0; i < 100'000'000 && later == first; ++i) later = platform::tick_counter();
    EXPECT_GT(later, first);
}

// ---- The pinned worker pair ----

struct WorkerRecord {
    int calls = 0;
    DWORD thread_id = 0;
    int priority = 0;
    DWORD processor = 0;
};
WorkerRecord worker_records[2];

void record_worker(int index)
{
    worker_records[index].calls += 1;
    worker_records[index].thread_id = GetCurrentThreadId();
    worker_records[index].priority = GetThreadPriority(GetCurrentThread());
    worker_records[index].processor = GetCurrentProcessorNumber();
}

TEST(Win32Workers, EachIndexRunsOnceOnItsOwnThread)
{
    worker_records[0] = {};
    worker_records[1] = {};
    morvane::platform::run_pinned_worker_pair(record_worker);
    EXPECT_EQ(worker_records[0].calls, 1);
    EXPECT_EQ(worker_records[1].calls, 1);
    EXPECT_NE(worker_records[0].thread_id, 0u);
    EXPECT_NE(worker_records[0].thread_id, worker_records[1].thread_id);
    EXPECT_NE(worker_records[0].thread_id, GetCurrentThreadId());
    EXPECT_NE(worker_records[1].thread_id, GetCurrentThreadId());
}

TEST(Win32Workers, WorkersAreTimeCriticalAndPinnedToTheFirstTwoProcessors)
{
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask));
    worker_records[0] = {};
    worker_records[1] = {};
    morvane::platform::run_pinned_worker_pair(record_worker);
    EXPECT_EQ(worker_records[0].priority, THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_EQ(worker_records[1].priority, THREAD_PRIORITY_TIME_CRITICAL);
    if (process_mask != 3 && (process_mask & 3) != 3) {
        GTEST_SKIP() << "the process may not use processors 0 and 1 (mask " << process_mask << ")";
    }
    EXPECT_EQ(worker_records[0].processor, 0u);
    EXPECT_EQ(worker_records[1].processor, 1u);
}

HANDLE worker_ready[2];
bool worker_met_other[2];

void meet_the_other_worker(int index)
{
    // Each waits for the other to have started: run one after the other, the first would
    // wait in vain.
    SetEvent(worker_ready[index]);
    worker_met_other[index] = WaitForSingleObject(worker_ready[1 - index], 30'000) == WAIT_OBJECT_0;
}

TEST(Win32Workers, BothWorkersRunAtTheSameTime)
{
    for (int i = 0; i < 2; ++i) {
        worker_ready[i] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(worker_ready[i], nullptr);
        worker_met_other[i] = false;
    }
    morvane::platform::run_pinned_worker_pair(meet_the_other_worker);
    EXPECT_TRUE(worker_met_other[0]);
    EXPECT_TRUE(worker_met_other[1]);
    CloseHandle(worker_ready[0]);
    CloseHandle(worker_ready[1]);
}

int worker_finished[2];

void finish_late(int index)
{
    if (index == 1) Sleep(100);  // the later one decides when the pair may return
    worker_finished[index] = 1;
}

TEST(Win32Workers, ReturnsOnlyWhenBothHaveEnded)
{
    for (int round = 0; round < 3; ++round) {
        worker_finished[0] = worker_finished[1] = 0;
        morvane::platform::run_pinned_worker_pair(finish_late);
        EXPECT_EQ(worker_finished[0], 1);
        EXPECT_EQ(worker_finished[1], 1);
    }
}

// ---- The screen ----

TEST(Win32Screen, ScreenSizeIsInRealPixels)
{
    int width = 0;
    int height = 0;
    char error[256] = "";
    ASSERT_TRUE(platform::screen_size(width, height, error, sizeof error)) << error;
    EXPECT_TRUE(IsProcessDPIAware());
    // The display mode is in device pixels whatever the process declares.
    DEVMODEA mode = {};
    mode.dmSize = sizeof mode;
    ASSERT_TRUE(EnumDisplaySettingsA(nullptr, ENUM_CURRENT_SETTINGS, &mode));
    EXPECT_EQ(static_cast<DWORD>(width), mode.dmPelsWidth);
    EXPECT_EQ(static_cast<DWORD>(height), mode.dmPelsHeight);
}

// ---- The window ----

// Handles every pending message but a quit, so a case starts from an empty queue.
void drain_messages()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

// Opens the window as the program does; nullptr (and a test failure) when it cannot.
platform::Window* open_test_window(int width, int height, HWND& handle)
{
    char error[256] = "";
    platform::Window* window = platform::open_window(width, height, caption, class_name, error, sizeof error);
    EXPECT_NE(window, nullptr) << error;
    handle = window != nullptr ? FindWindowA(class_name, caption) : nullptr;
    EXPECT_NE(handle, nullptr);
    drain_messages();
    return window;
}

void close_test_window(platform::Window* window)
{
    platform::close_window(window);
    drain_messages();  // and the quit message that destroying the window posts
}

// Pumps until the quit message arrives, at most `limit` calls; -1 when it never does.
int pump_until_quit(platform::Window* window, int limit)
{
    for (int i = 0; i < limit; ++i) {
        int code = -1;
        if (platform::handle_pending_event(window, code)) return code;
    }
    return -1;
}

void expect_client_size(HWND handle, int width, int height)
{
    RECT client;
    ASSERT_TRUE(GetClientRect(handle, &client));
    EXPECT_EQ(client.right - client.left, width);
    EXPECT_EQ(client.bottom - client.top, height);
}

// One window for the cases that keep it open: taking a window down is slow under Wine
// without a window manager (it waits for one to answer).
class Win32Window : public ::testing::Test {
protected:
    static void SetUpTestSuite() { window = open_test_window(320, 200, handle); }
    static void TearDownTestSuite()
    {
        close_test_window(window);
        window = nullptr;
    }
    void SetUp() override
    {
        ASSERT_NE(window, nullptr);
        reset_scene();
        drain_messages();
    }
    int pump_until_quit(int limit) { return ::pump_until_quit(window, limit); }

    static platform::Window* window;
    static HWND handle;
};
platform::Window* Win32Window::window = nullptr;
HWND Win32Window::handle = nullptr;

TEST_F(Win32Window, ClientAreaIsExactAndTheWindowSitsAtTheTopLeft)
{
    expect_client_size(handle, 320, 200);
    RECT outer;
    ASSERT_TRUE(GetWindowRect(handle, &outer));
    EXPECT_EQ(outer.left, 0);
    EXPECT_EQ(outer.top, 0);
    EXPECT_TRUE(IsWindowVisible(handle));
}

TEST_F(Win32Window, CaptionClassAndStyle)
{
    char text[128] = "";
    GetWindowTextA(handle, text, sizeof text);
    EXPECT_STREQ(text, caption);  // trailing blank included
    char name[64] = "";
    GetClassNameA(handle, name, sizeof name);
    EXPECT_STREQ(name, class_name);

    const auto style = static_cast<DWORD>(GetWindowLongPtrA(handle, GWL_STYLE));
    EXPECT_EQ(style & WS_CAPTION, static_cast<DWORD>(WS_CAPTION));
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_FALSE(style & WS_THICKFRAME) << "the window must not be resizable";
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
}

TEST_F(Win32Window, ClassHasTheDefaultIconArrowCursorBrushOneAndTheHandler)
{
    WNDCLASSA registered = {};
    ASSERT_TRUE(GetClassInfoA(GetModuleHandleA(nullptr), class_name, &registered));
    EXPECT_EQ(registered.lpfnWndProc, &win32::window_procedure);
    EXPECT_EQ(registered.hIcon, LoadIconA(nullptr, IDI_APPLICATION));
    EXPECT_EQ(registered.hCursor, LoadCursorA(nullptr, IDC_ARROW));
    EXPECT_EQ(reinterpret_cast<INT_PTR>(registered.hbrBackground), 1);
    EXPECT_EQ(registered.cbClsExtra, 0);
    EXPECT_EQ(registered.cbWndExtra, 0);
    // The drawing context is fetched once and kept: it must be the window's own.
    EXPECT_TRUE(registered.style & CS_OWNDC);
}

TEST_F(Win32Window, PresentCopiesTheTopDownBgrxImageOneToOne)
{
    // Every pixel different: red from the column, green from the row, blue fixed, and a
    // fourth byte that must not matter.
    constexpr int width = 320;
    constexpr int height = 200;
    static Pixel image[width * height];
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const uint32_t blue = 0x5A;
            const uint32_t green = static_cast<uint32_t>(y);
            const uint32_t red = static_cast<uint32_t>(x & 0xFF);
            image[y * width + x] = 0xA5000000u | red << 16 | green << 8 | blue;
        }
    }
    platform::present(window, image, width, height);
    GdiFlush();

    HDC dc = GetDC(handle);
    ASSERT_NE(dc, nullptr);
    const int points[][2] = {{0, 0}, {319, 0}, {0, 199}, {319, 199}, {17, 3}, {200, 150}, {255, 100}};
    for (const auto& point : points) {
        const int x = point[0];
        const int y = point[1];
        EXPECT_EQ(GetPixel(dc, x, y), RGB(x & 0xFF, y, 0x5A)) << "at " << x << ", " << y;
    }
    ReleaseDC(handle, dc);
}

TEST_F(Win32Window, SpaceGoesToTheKeyHandler)
{
    ASSERT_EQ(scene.speed_mode, 1);
    EXPECT_EQ(SendMessageA(handle, WM_KEYDOWN, VK_SPACE, 0), 0);
    EXPECT_EQ(scene.speed_mode, 0);
    EXPECT_EQ(SendMessageA(handle, WM_KEYDOWN, VK_SPACE, 0x40000000), 0);  // an auto-repeat
    EXPECT_EQ(scene.speed_mode, 1);
    int code = -1;
    EXPECT_FALSE(platform::handle_pending_event(window, code)) << "Space must not quit";
}

TEST_F(Win32Window, OtherKeysAreIgnored)
{
    for (WPARAM key : {WPARAM{'A'}, WPARAM{VK_RETURN}, WPARAM{VK_F4}, WPARAM{VK_LEFT}}) {
        EXPECT_EQ(SendMessageA(handle, WM_KEYDOWN, key, 0), 0);
    }
    EXPECT_EQ(scene.speed_mode, 1);
    EXPECT_TRUE(IsWindow(handle));
    MSG message;
    EXPECT_FALSE(PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
}

TEST_F(Win32Window, EscPostsTheQuitMessageWithCodeZero)
{
    EXPECT_EQ(SendMessageA(handle, WM_KEYDOWN, VK_ESCAPE, 0), 0);
    EXPECT_EQ(pump_until_quit(100), 0);
}

TEST_F(Win32Window, QuitCodeIsTheMessageParameter)
{
    PostQuitMessage(7);
    EXPECT_EQ(pump_until_quit(100), 7);
}

TEST_F(Win32Window, PumpReturnsAtOnceWhenNothingIsPending)
{
    int code = -1;
    EXPECT_FALSE(platform::handle_pending_event(window, code));
    EXPECT_EQ(code, -1);
}

TEST_F(Win32Window, PumpHandlesOneMessagePerCallInQueueOrder)
{
    ASSERT_TRUE(PostMessageA(handle, WM_APP, 1, 0));
    ASSERT_TRUE(PostMessageA(handle, WM_APP, 2, 0));
    int code = -1;
    EXPECT_FALSE(platform::handle_pending_event(window, code));
    MSG left;
    ASSERT_TRUE(PeekMessageA(&left, nullptr, WM_APP, WM_APP, PM_NOREMOVE));
    EXPECT_EQ(left.wParam, 2u) << "the first message posted is handled first, and alone";
    EXPECT_FALSE(platform::handle_pending_event(window, code));
    EXPECT_FALSE(PeekMessageA(&left, nullptr, WM_APP, WM_APP, PM_NOREMOVE));
}

TEST_F(Win32Window, QueuedKeysAreHandledInOrderAcrossCalls)
{
    // Space, Space, Esc, as a held key and a quick Esc would queue them between two frames.
    ASSERT_TRUE(PostMessageA(handle, WM_KEYDOWN, VK_SPACE, 0));
    ASSERT_TRUE(PostMessageA(handle, WM_KEYDOWN, VK_SPACE, 0x40000000));
    ASSERT_TRUE(PostMessageA(handle, WM_KEYDOWN, VK_ESCAPE, 0));
    int code = -1;
    EXPECT_FALSE(platform::handle_pending_event(window, code));
    EXPECT_EQ(scene.speed_mode, 0) << "only the first Space is handled by the first call";
    // Translation adds a character message after each key; the rest follows in order.
    EXPECT_EQ(pump_until_quit(100), 0);
    EXPECT_EQ(scene.speed_mode, 1);
}

// ---- Opening and closing ----

TEST(Win32WindowLifetime, FrameOfTheWholeScreenAndATinyOneKeepTheirExactClientAreas)
{
    // The frame is the screen less 10 pixels; with its title bar the window is taller than
    // the screen, which the system would cut short by default. A tiny one would be widened.
    int screen_width = 0;
    int screen_height = 0;
    char error[256] = "";
    ASSERT_TRUE(platform::screen_size(screen_width, screen_height, error, sizeof error)) << error;
    const int width = (screen_width - 10) & ~1;
    const int height = (screen_height - 10) & ~1;
    HWND handle = nullptr;
    platform::Window* window = open_test_window(width, height, handle);
    ASSERT_NE(window, nullptr);
    expect_client_size(handle, width, height);
    close_test_window(window);

    // Closing unregisters the class, so the window opens again.
    window = open_test_window(64, 48, handle);
    ASSERT_NE(window, nullptr);
    expect_client_size(handle, 64, 48);
    close_test_window(window);
}

TEST(Win32WindowLifetime, ClosingTheWindowPostsTheQuitMessageWithCodeZero)
{
    HWND handle = nullptr;
    platform::Window* window = open_test_window(320, 200, handle);
    ASSERT_NE(window, nullptr);
    // What the title bar's close box and the system menu's Close do.
    SendMessageA(handle, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(handle));
    EXPECT_EQ(pump_until_quit(window, 100), 0);
    close_test_window(window);  // after the window is gone already
}

} // namespace

// ---- Files that appear only when complete ----

namespace {

std::string read_all(const std::string& name)
{
    std::string text;
    if (std::FILE* file = std::fopen(name.c_str(), "rb")) {
        char buffer[64];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
        std::fclose(file);
    }
    return text;
}

} // namespace

TEST(Win32Files, ReplaceAnExistingFileAndStepOverATemporaryLeftByAKilledRun)
{
    const std::string name = "pending-file-test.txt";
    // What a run killed before its rename used to leave, and one of today's names.
    for (const std::string& stale : {name + ".partial", name + ".partial-" + std::to_string(_getpid())}) {
        std::FILE* left = std::fopen(stale.c_str(), "wb");
        ASSERT_NE(left, nullptr);
        std::fclose(left);
    }
    std::string error;
    ASSERT_TRUE(tools::write_whole_file(name, "old", 3, error)) << error;
    ASSERT_TRUE(tools::write_whole_file(name, "new!", 4, error)) << error;
    EXPECT_EQ(read_all(name), "new!");
    std::remove(name.c_str());
    std::remove((name + ".partial").c_str());
    std::remove((name + ".partial-" + std::to_string(_getpid())).c_str());
}
