// (stub until the rasteriser lands)
#include "raster/raster.h"
namespace morvane {
void shade_span(const SpanRequest& request) { shade_span_scalar(request); }
void shade_span_scalar(const SpanRequest&) {}
} // namespace morvane
