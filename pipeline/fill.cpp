// The buffer fill behind the per-frame clear: count copies of one 32-bit value, written in
// blocks of 16 with aligned four-lane stores.
#include <cstdint>

#include "pipeline/pipeline.h"
#include "scene/numeric.h"

namespace morvane {

namespace {

// Fills at or above this size bypass the caches. Below it the two clears of a frame
// (8.2 MB each at 1910 x 1070) still fit a typical last-level cache, where ordinary stores
// are faster than streaming ones and leave the buffers warm for the rasteriser, the rays
// and the presentation. Above it (a 4K frame is 33 MB a buffer) the data would be evicted
// before it is read again, and non-temporal stores save the read-for-ownership traffic.
constexpr int64_t streaming_fill_bytes = int64_t{16} << 20;

constexpr int64_t block_values = 16;  // one block: four 16-byte stores, one 64-byte line

} // namespace

void fill_dwords_scalar(uint32_t* destination, int64_t count, uint32_t value)
{
    for (int64_t i = 0; i < count; ++i) destination[i] = value;
}

void fill_dwords(uint32_t* destination, int64_t count, uint32_t value)
{
    if (count <= 0) return;
    // The odd values first, one at a time, so the blocks cover exactly the rest.
    const int64_t head = count % block_values;
    for (int64_t i = 0; i < head; ++i) destination[i] = value;
    uint32_t* block = destination + head;
    const int64_t blocks = count / block_values;
#if MORVANE_X86
    const __m128i v = _mm_set1_epi32(static_cast<int>(value));
    auto* lanes = reinterpret_cast<__m128i*>(block);
    if (reinterpret_cast<uintptr_t>(block) % 16 != 0) {
        // Only when the caller breaks the contract (an unaligned start or a count that is
        // not a multiple of 4): still exactly count values, with unaligned stores.
        for (int64_t b = 0; b < blocks; ++b, lanes += 4) {
            _mm_storeu_si128(lanes + 0, v);
            _mm_storeu_si128(lanes + 1, v);
            _mm_storeu_si128(lanes + 2, v);
            _mm_storeu_si128(lanes + 3, v);
        }
    } else if (count * int64_t{sizeof(uint32_t)} >= streaming_fill_bytes) {
        for (int64_t b = 0; b < blocks; ++b, lanes += 4) {
            _mm_stream_si128(lanes + 0, v);
            _mm_stream_si128(lanes + 1, v);
            _mm_stream_si128(lanes + 2, v);
            _mm_stream_si128(lanes + 3, v);
        }
        // Streaming stores are weakly ordered: fence them before the workers are started.
        _mm_sfence();
    } else {
        for (int64_t b = 0; b < blocks; ++b, lanes += 4) {
            _mm_store_si128(lanes + 0, v);
            _mm_store_si128(lanes + 1, v);
            _mm_store_si128(lanes + 2, v);
            _mm_store_si128(lanes + 3, v);
        }
    }
#else
    for (int64_t i = 0; i < blocks * block_values; ++i) block[i] = value;
#endif
}

} // namespace morvane
