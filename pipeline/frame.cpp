// (stub until the frame driver lands)
#include "pipeline/pipeline.h"
namespace morvane {
void render_frame(FrameTimings*) {}
void clear_frame() {}
void transform_frame() {}
void rasterise_frame() {}
void build_rotation_table(int32_t) {}
void advance_zoom() {}
void skip_frames(int64_t) {}
} // namespace morvane
