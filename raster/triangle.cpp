// (stub until the rasteriser lands)
#include "raster/raster.h"
namespace morvane {
void raster_worker(int index) { raster_triangles(index); }
void raster_triangles(int) {}
ClipWindow worker_window(int index, int width, int height)
{
    const int half = height / 2;
    return {index * half, index * half + half, 0, width};
}
void draw_triangle(const RasterVertex&, const RasterVertex&, const RasterVertex&, const ClipWindow&, int32_t,
                   const Pixel*, Pixel*, float*) {}
} // namespace morvane
