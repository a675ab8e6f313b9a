// What Space and Esc do, the same on every platform.
#include "host/host.h"

#include "scene/scene.h"

namespace morvane::host {

bool handle_key_down(Key key)
{
    // Every key press toggles, auto-repeats included.
    if (key == Key::space) scene.speed_mode = static_cast<uint8_t>((scene.speed_mode + 1) & 1);
    return key == Key::escape;
}

} // namespace morvane::host
