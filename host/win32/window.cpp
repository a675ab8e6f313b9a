// The window on Windows: the screen size, the one window with its class and handler, the
// 1:1 presentation of the colour buffer and the non-blocking message pump.
#include "host/win32/win32.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "host/host.h"
#include "host/platform.h"

namespace morvane::platform {

struct Window {
    HWND handle;
    HDC dc;                 // taken once after creation, released in close_window
    HINSTANCE instance;
    const char* class_name; // the caller's text; it outlives the window
    SIZE outer_size;        // the whole window, frame included, for WM_GETMINMAXINFO
    bool timer_period_set;  // 1 ms timer resolution requested, to be returned on close
};

} // namespace morvane::platform

namespace morvane::win32 {

// Title bar, system menu and minimise box; no sizing border and no maximise box, so the
// client area keeps the frame's size for the whole run.
constexpr DWORD window_style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_KEYDOWN: {
        // Key-downs never reach the default handler.
        const host::Key key = wparam == VK_SPACE    ? host::Key::space
                              : wparam == VK_ESCAPE ? host::Key::escape
                                                    : host::Key::other;
        if (host::handle_key_down(key)) PostQuitMessage(0);
        return 0;
    }
    case WM_DESTROY:
        // Closing through the title bar or the system menu arrives here too, by way of the
        // default handling of WM_CLOSE.
        PostQuitMessage(0);
        return 0;
    case WM_GETMINMAXINFO: {
        // By default a window may grow no larger than the screen plus its frame, and a frame
        // the screen's height less 10 with a title bar on top is taller than that; nor may a
        // window with a title bar be very narrow. Allow exactly the wanted size, so that the
        // client area is the frame.
        const auto* owner = reinterpret_cast<const platform::Window*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (owner == nullptr) break;
        auto* limits = reinterpret_cast<MINMAXINFO*>(lparam);
        DefWindowProcA(window, message, wparam, lparam);
        limits->ptMaxTrackSize.x = std::max(limits->ptMaxTrackSize.x, owner->outer_size.cx);
        limits->ptMaxTrackSize.y = std::max(limits->ptMaxTrackSize.y, owner->outer_size.cy);
        limits->ptMinTrackSize.x = std::min(limits->ptMinTrackSize.x, owner->outer_size.cx);
        limits->ptMinTrackSize.y = std::min(limits->ptMinTrackSize.y, owner->outer_size.cy);
        return 0;
    }
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

} // namespace morvane::win32

namespace morvane::platform {

bool screen_size(int& width, int& height, char* error, size_t error_size)
{
    // Without it Windows scales the window of a program that does not say it knows about DPI,
    // and the frame would be shown blurred instead of 1:1; before the first metric, or it is a
    // scaled one. Later calls change nothing.
    SetProcessDPIAware();
    width = GetSystemMetrics(SM_CXSCREEN);
    height = GetSystemMetrics(SM_CYSCREEN);
    if (width > 0 && height > 0) return true;
    std::snprintf(error, error_size, "the system reports no primary screen (%d x %d pixels)", width, height);
    win32::report_without_console(error);
    return false;
}

Window* open_window(int width, int height, const char* caption, const char* class_name, char* error,
                    size_t error_size)
{
    SetProcessDPIAware();
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    auto* window = new (std::nothrow) Window{nullptr, nullptr, instance, class_name, {}, false};
    if (window == nullptr) {
        std::snprintf(error, error_size, "no memory for the window record");
        win32::report_without_console(error);
        return nullptr;
    }
    // Says why first, before the clean-up changes the last error; close_window also returns
    // the class.
    const auto refuse = [&](const char* what, bool class_registered) -> Window* {
        win32::describe_last_error(what, error, error_size);
        if (class_registered) {
            close_window(window);
        } else {
            delete window;
        }
        win32::report_without_console(error);
        return nullptr;
    };

    WNDCLASSA window_class = {};
    // A drawing context of the window's own, so that the one fetched after creation stays
    // valid for the whole run without being released after each frame.
    window_class.style = CS_OWNDC;
    window_class.lpfnWndProc = win32::window_procedure;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    // System colour 0 + 1 (the scroll-bar grey); the first frame covers it at once.
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(1));
    window_class.lpszClassName = class_name;
    if (RegisterClassA(&window_class) == 0) return refuse("RegisterClassA", false);

    // The outer rectangle whose client area is exactly width x height, with the window's
    // top-left corner at the screen's.
    RECT outer = {0, 0, width, height};
    AdjustWindowRect(&outer, win32::window_style, FALSE);
    window->outer_size = {outer.right - outer.left, outer.bottom - outer.top};
    window->handle = CreateWindowExA(0, class_name, caption, win32::window_style, 0, 0, window->outer_size.cx,
                                     window->outer_size.cy, nullptr, nullptr, instance, nullptr);
    if (window->handle == nullptr) return refuse("CreateWindowExA", true);
    // Creation limits the size to the screen's before the window can say otherwise; now that
    // the handler knows the wanted size, set it once more.
    SetWindowLongPtrA(window->handle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(window));
    SetWindowPos(window->handle, nullptr, 0, 0, window->outer_size.cx, window->outer_size.cy,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
    window->dc = GetDC(window->handle);
    if (window->dc == nullptr) return refuse("GetDC", true);
    // The idle pause is 3 ms: at the default timer resolution of 15.6 ms Sleep would pause
    // five times as long. Requested for the window's lifetime and returned in close_window.
    window->timer_period_set = timeBeginPeriod(1) == TIMERR_NOERROR;
    ShowWindow(window->handle, SW_SHOWNORMAL);
    return window;
}

Pixel* present(Window* window, const Pixel* image, int width, int height)
{
    // A top-down DIB (negative height): row 0 of the image is the top row of the client area.
    BITMAPINFO description = {};
    description.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);  // 40
    description.bmiHeader.biWidth = width;
    description.bmiHeader.biHeight = -height;
    description.bmiHeader.biPlanes = 1;
    description.bmiHeader.biBitCount = 32;  // B, G, R, X: the colour buffer's own layout
    description.bmiHeader.biCompression = BI_RGB;
    StretchDIBits(window->dc, 0, 0, width, height, 0, 0, width, height, image, &description, DIB_RGB_COLORS,
                  SRCCOPY);
    // GDI copies from the program's buffer; the window offers none of its own.
    return nullptr;
}

bool handle_pending_event(Window*, int& exit_code)
{
    // Only peek: the frame loop never waits for input. A message that is there is retrieved,
    // so at most one is handled per frame, in queue order.
    MSG message;
    if (!PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE)) return false;
    const BOOL retrieved = GetMessageA(&message, nullptr, 0, 0);
    if (retrieved == 0) {  // WM_QUIT
        exit_code = static_cast<int>(message.wParam);
        return true;
    }
    if (retrieved < 0) return false;  // nothing was retrieved after all
    TranslateMessage(&message);
    DispatchMessageA(&message);
    return false;
}

void close_window(Window* window)
{
    if (window == nullptr) return;
    if (window->timer_period_set) timeEndPeriod(1);
    // Closing the window from its title bar destroys it before the quit message arrives.
    if (IsWindow(window->handle)) {
        if (window->dc != nullptr) ReleaseDC(window->handle, window->dc);
        SetWindowLongPtrA(window->handle, GWLP_USERDATA, 0);
        DestroyWindow(window->handle);
    }
    // The class goes with its window, so a later open_window (in tests) registers it anew.
    UnregisterClassA(window->class_name, window->instance);
    delete window;
}

} // namespace morvane::platform
