// What Space and Esc do, the same on every platform.
#include "host/host.h"

#include <cstdint>

#include "scene/scene.h"

namespace morvane::host {

bool handle_key_down(Key key)
{
    switch (key) {
    case Key::space:
        // Every key press toggles, auto-repeats included.
        scene.speed_mode = static_cast<uint8_t>((scene.speed_mode + 1) & 1);
        return false;
    case Key::escape:
        return true;
    case Key::other:
        return false;
    }
    return false;
}

} // namespace morvane::host
