// The window on Linux and other SDL desktops: the screen size, the one window, showing the
// colour buffer in it 1:1 and the non-blocking message pump. No graphics acceleration is asked
// for where the driver has a surface of its own (shared memory on X11): frames are drawn
// straight into it when it is laid out as the colour buffer, and copied into it otherwise.
#define SDL_MAIN_HANDLED
#include <SDL.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>

#include "host/host.h"
#include "host/platform.h"

namespace morvane::platform {

struct Window {
    SDL_Window* window = nullptr;
    // Fetched once and kept, like a drawing context; fetched again only after a size change.
    // Only that fetch (in present) and close_window free a surface's pixels.
    SDL_Surface* surface = nullptr;
    // The surface's pixels, when present last offered them for the next frame.
    Pixel* offered = nullptr;
};

namespace {

// The colour buffer's layout: bytes B, G, R, X in memory order, whatever the byte order.
#if SDL_BYTEORDER == SDL_BIG_ENDIAN
constexpr Uint32 colour_buffer_format = SDL_PIXELFORMAT_BGRX8888;
#else
constexpr Uint32 colour_buffer_format = SDL_PIXELFORMAT_XRGB8888;
#endif

// The alignment allocate_frame_buffer gives the program's own frame buffers.
constexpr uintptr_t frame_buffer_alignment = 64;

// SDL's video is started once, by screen_size, and runs until close_window: in between a
// second start, SIGINT and SIGTERM would have their default effect and end the program.
bool video_running = false;

const char* set_variable(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

// Lets through only the events the program acts on; everything else (pointer motion, buttons,
// the wheel, key-ups, text input, focus and other window chatter) is dropped as SDL queues it.
// The main loop takes one event per frame, so an event it ignores would still cost a frame: a
// fast mouse alone reports more motion than there are frames, and the keys would wait behind it.
int keep_wanted_events(void* /*userdata*/, SDL_Event* event)
{
    if (event->type == SDL_WINDOWEVENT) {
        // The close button, and the size change after which the surface is fetched again.
        return event->window.event == SDL_WINDOWEVENT_CLOSE || event->window.event == SDL_WINDOWEVENT_SIZE_CHANGED;
    }
    return event->type == SDL_QUIT || event->type == SDL_KEYDOWN;
}

// Starts SDL's video on a real display. Left to itself SDL falls back to its offscreen driver
// with an invented 1024 x 768 screen when there is no display, and probes Wayland with noise
// on stderr; so unless the user names drivers in SDL_VIDEODRIVER (SDL then tries those alone),
// only the display systems the environment points at are tried, and an offscreen or dummy
// driver counts as no display.
bool start_video(const char* class_name, char* error, size_t error_size)
{
    // WM_CLASS on X11 and the application id on Wayland; SDL reads both as video starts.
    setenv("SDL_VIDEO_X11_WMCLASS", class_name, 1);
    setenv("SDL_VIDEO_WAYLAND_WMCLASS", class_name, 1);
    const char* user_choice = set_variable("SDL_VIDEODRIVER");
    const char* x11 = set_variable("DISPLAY");
    const char* wayland = set_variable("WAYLAND_DISPLAY");
    if (user_choice == nullptr) {
        if (x11 == nullptr && wayland == nullptr) {
            std::snprintf(error, error_size, "there is no display (neither DISPLAY nor WAYLAND_DISPLAY is set)");
            return false;
        }
        SDL_SetHint(SDL_HINT_VIDEODRIVER, x11 && wayland ? "x11,wayland" : x11 ? "x11" : "wayland");
    }
    // An ordinary desktop window: the screen saver and the compositor stay as they are.
    SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
    SDL_SetHint(SDL_HINT_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR, "0");

    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
        if (user_choice != nullptr) {
            std::snprintf(error, error_size, "no video driver of SDL_VIDEODRIVER=%s works (%s)", user_choice,
                          SDL_GetError());
        } else {
            std::snprintf(error, error_size, "there is no display at %s%s%s%s%s (%s)", x11 ? "DISPLAY=" : "",
                          x11 ? x11 : "", x11 && wayland ? " or " : "", wayland ? "WAYLAND_DISPLAY=" : "",
                          wayland ? wayland : "", SDL_GetError());
        }
        return false;
    }
    const char* driver = SDL_GetCurrentVideoDriver();
    if (user_choice == nullptr && driver != nullptr &&
        (strcasecmp(driver, "offscreen") == 0 || strcasecmp(driver, "dummy") == 0)) {
        std::snprintf(error, error_size, "there is no display (SDL fell back to its %s driver)", driver);
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        return false;
    }
    // The window's own surface, no accelerated renderer behind it, where the driver has one: on
    // X11 a shared memory image and no GL stack. Wayland's driver has none; there SDL backs the
    // window's surface with a streaming texture of its renderer. SDL reads this when the surface
    // is first taken.
    if (driver == nullptr || strcasecmp(driver, "wayland") != 0) SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    // Before any window exists: setting the filter discards what is queued.
    SDL_SetEventFilter(keep_wanted_events, nullptr);
    video_running = true;
    return true;
}

void stop_video()
{
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    SDL_Quit();
    video_running = false;
}

// Every way the user quits ends with exit code 0: the request is SDL's own quit message,
// queued behind the events before it.
void post_quit_message()
{
    SDL_Event event{};
    event.type = SDL_QUIT;
    SDL_PushEvent(&event);
}

// Copies the image 1:1 into the surface, as much of it as fits.
bool copy_into(SDL_Surface* surface, const Pixel* image, int width, int height)
{
    if (SDL_MUSTLOCK(surface) && SDL_LockSurface(surface) != 0) return false;
    const int columns = std::min(width, surface->w);
    const int rows = std::min(height, surface->h);
    const int image_pitch = width * static_cast<int>(sizeof(Pixel));
    if (surface->format->format == colour_buffer_format) {
        // The usual case on a 24- or 32-bit display: row by row, honouring the surface's pitch.
        const auto* source = reinterpret_cast<const unsigned char*>(image);
        auto* destination = static_cast<unsigned char*>(surface->pixels);
        for (int y = 0; y < rows; ++y) {
            std::memcpy(destination + static_cast<ptrdiff_t>(y) * surface->pitch,
                        source + static_cast<ptrdiff_t>(y) * image_pitch, static_cast<size_t>(columns) * sizeof(Pixel));
        }
    } else {
        SDL_ConvertPixels(columns, rows, colour_buffer_format, image, image_pitch, surface->format->format,
                          surface->pixels, surface->pitch);
    }
    if (SDL_MUSTLOCK(surface)) SDL_UnlockSurface(surface);
    return true;
}

} // namespace

bool screen_size(int& width, int& height, char* error, size_t error_size)
{
    // Video starts here and stays up for open_window. The class must be known before it starts:
    // it is the scene's, the one the program then opens its window with.
    if (!video_running && !start_video(scene.window_class_name, error, error_size)) return false;
    SDL_Rect bounds{};
    if (SDL_GetDisplayBounds(0, &bounds) != 0 || bounds.w <= 0 || bounds.h <= 0) {
        std::snprintf(error, error_size, "the size of the screen is unknown (%s)", SDL_GetError());
        stop_video();
        return false;
    }
    width = bounds.w;
    height = bounds.h;
    return true;
}

Window* open_window(int width, int height, const char* caption, const char* class_name, char* error,
                    size_t error_size)
{
    // Video normally runs already, started by screen_size with this class.
    if (!video_running && !start_video(class_name, error, error_size)) return nullptr;
    const auto refuse = [&](const char* what, SDL_Window* created) -> Window* {
        std::snprintf(error, error_size, "%s (%s)", what, SDL_GetError());
        if (created != nullptr) SDL_DestroyWindow(created);
        stop_video();
        return nullptr;
    };

    // Not resizable and no maximise: the client area stays width x height.
    SDL_Window* sdl_window = SDL_CreateWindow(caption, 0, 0, width, height, SDL_WINDOW_SHOWN);
    if (sdl_window == nullptr) return refuse("the window cannot be created", nullptr);
    // Where a window manager frames the window, put the frame's corner, not the client
    // area's, at the screen's top-left corner.
    int top = 0, left = 0;
    if (SDL_GetWindowBordersSize(sdl_window, &top, &left, nullptr, nullptr) == 0 && (top > 0 || left > 0)) {
        SDL_SetWindowPosition(sdl_window, left, top);
    }
    SDL_Surface* surface = SDL_GetWindowSurface(sdl_window);
    if (surface == nullptr) return refuse("the window has no surface to draw into", sdl_window);
    Window* window = new (std::nothrow) Window{sdl_window, surface, nullptr};
    if (window == nullptr) {
        refuse("", sdl_window);
        std::snprintf(error, error_size, "out of memory");
        return nullptr;
    }
    // Keys arrive as key-downs; no text input is wanted.
    SDL_StopTextInput();
    return window;
}

Pixel* present(Window* window, const Pixel* image, int width, int height)
{
    const bool drawn_in_place = window->offered != nullptr && image == window->offered;
    window->offered = nullptr;
    if (window->surface == nullptr) {
        // Drawn into the surface from before a size change: fetching the new one frees it.
        // This one frame is not shown; the next is drawn into the program's buffer.
        if (drawn_in_place) return nullptr;
        window->surface = SDL_GetWindowSurface(window->window);
        if (window->surface == nullptr) return nullptr;
    }
    SDL_Surface* surface = window->surface;
    if (!drawn_in_place && !copy_into(surface, image, width, height)) return nullptr;
    SDL_UpdateWindowSurface(window->window);
    // The surface is handed to the renderer only as the colour buffer it expects: its size, its
    // format and rows, and at least the alignment of the program's own frame buffers. (On X11
    // the shared memory is page-aligned, and SDL_UpdateWindowSurface has waited for the X
    // server to take the image, so the next frame may be drawn over it.)
    if (surface->format->format == colour_buffer_format && surface->w == width && surface->h == height &&
        surface->pitch == width * static_cast<int>(sizeof(Pixel)) && !SDL_MUSTLOCK(surface) &&
        reinterpret_cast<uintptr_t>(surface->pixels) % frame_buffer_alignment == 0) {
        window->offered = static_cast<Pixel*>(surface->pixels);
    }
    return window->offered;
}

bool handle_pending_event(Window* window, int& exit_code)
{
    SDL_Event event;
    if (SDL_PollEvent(&event) == 0) return false;
    if (event.type == SDL_QUIT) {
        // Posted here, or by SDL: the last window was closed, or SIGINT or SIGTERM arrived.
        exit_code = 0;
        return true;
    }
    // Auto-repeats are key-downs too: holding Space toggles once per repeat.
    if (event.type == SDL_KEYDOWN) {
        const SDL_Keycode code = event.key.keysym.sym;
        const host::Key key = code == SDLK_SPACE ? host::Key::space
                              : code == SDLK_ESCAPE ? host::Key::escape
                                                    : host::Key::other;
        if (host::handle_key_down(key)) post_quit_message();
    } else if (event.type == SDL_WINDOWEVENT && event.window.event == SDL_WINDOWEVENT_CLOSE) {
        post_quit_message();
    } else if (event.type == SDL_WINDOWEVENT && event.window.event == SDL_WINDOWEVENT_SIZE_CHANGED) {
        window->surface = nullptr;
    }
    return false;
}

void close_window(Window* window)
{
    if (window == nullptr) return;
    SDL_DestroyWindow(window->window);
    delete window;
    stop_video();
}

} // namespace morvane::platform
