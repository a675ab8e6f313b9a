// (stub until the frame driver lands)
#include "pipeline/pipeline.h"
namespace morvane {
void fill_dwords(uint32_t* destination, int64_t count, uint32_t value) { fill_dwords_scalar(destination, count, value); }
void fill_dwords_scalar(uint32_t* destination, int64_t count, uint32_t value)
{
    for (int64_t i = 0; i < count; ++i) destination[i] = value;
}
} // namespace morvane
