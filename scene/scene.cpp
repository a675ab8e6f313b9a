// The one scene record of the process, and its reset to the values as built.
#include "scene/scene.h"

#include <memory>

namespace morvane {

constinit SceneBlock scene{};

void reset_scene()
{
    // Constructed in place: the record is far too large for a temporary on the stack.
    std::destroy_at(&scene);
    std::construct_at(&scene);
}

} // namespace morvane
