// (stub until the platform layer lands)
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "host/platform.h"
#include "pipeline/pipeline.h"

namespace morvane {
void run_pinned_worker_pair(void (*entry)(int index))
{
    std::thread a(entry, 0), b(entry, 1);
    a.join();
    b.join();
}
namespace platform {
void* allocate_frame_buffer(size_t bytes)
{
    void* p = ::operator new(bytes, std::align_val_t{64}, std::nothrow);
    if (p) std::memset(p, 0, bytes);
    return p;
}
void free_frame_buffer(void* buffer) { ::operator delete(buffer, std::align_val_t{64}); }
uint64_t tick_counter() { return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()); }
void sleep_ms(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }
} // namespace platform
} // namespace morvane
