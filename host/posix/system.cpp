// The POSIX platform basics every Unix program and tool shares: frame-buffer memory, the
// tick counter, the pause, and the two pinned rasteriser workers of every frame.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "host/platform.h"
#include "pipeline/pipeline.h"

namespace morvane {

namespace {

constexpr size_t frame_buffer_alignment = 64;  // a cache line; the clears need 16
constexpr size_t huge_page_bytes = size_t{2} << 20;

// Sets the calling thread's own nice value (Linux gives each thread one); true when granted.
bool set_thread_nice([[maybe_unused]] int nice)
{
#if defined(__linux__)
    return setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice) == 0;
#else
    return false;
#endif
}

// Where and at what priority the two workers of a frame run. Found once, on the first frame,
// and constant from then on: the thread attributes are prepared here so that starting the
// workers of a frame allocates nothing beyond what thread creation itself does.
struct WorkerPlacement {
    pthread_attr_t attributes[2];
    bool pinned[2] = {false, false};
    bool lower_nice = false;  // the workers lower their own nice value to `nice`
    int nice = 0;

    WorkerPlacement()
    {
        for (pthread_attr_t& worker : attributes) pthread_attr_init(&worker);
#if defined(__linux__)
        // Worker k runs on the k-th processor the process may use. With a single processor,
        // worker 1 runs wherever the scheduler puts it; the frame is complete all the same.
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        const bool known = sched_getaffinity(0, sizeof allowed, &allowed) == 0;
        for (int cpu = 0, k = 0; known && cpu < CPU_SETSIZE && k < 2; ++cpu) {
            if (!CPU_ISSET(cpu, &allowed)) continue;
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            pinned[k] = pthread_attr_setaffinity_np(&attributes[k], sizeof one, &one) == 0;
            ++k;
        }
#endif
        choose_priority();
    }

    // The workers run at the highest priority of the ordinary, time-shared range that the
    // process is granted: a nice value down to 20 - RLIMIT_NICE. Never a real-time policy, even
    // where RLIMIT_RTPRIO would allow one: a renderer at full speed must not starve the sound
    // server or the compositor. Tried once, on a throw-away thread; a refusal is final and
    // silent, and the workers then run at the ordinary priority.
    void choose_priority()
    {
        rlimit limit{};
        if (getrlimit(RLIMIT_NICE, &limit) != 0 || limit.rlim_cur == 0) return;
        errno = 0;
        const int current = getpriority(PRIO_PROCESS, 0);
        if (errno != 0) return;
        const int lowest = limit.rlim_cur == RLIM_INFINITY
                               ? -20
                               : std::max(-20, 20 - static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 40)));
        if (lowest >= current) return;
        struct Probe {
            int nice;
            bool granted;
        } probe{lowest, false};
        const auto try_nice = [](void* argument) -> void* {
            auto* tried = static_cast<Probe*>(argument);
            tried->granted = set_thread_nice(tried->nice);
            return nullptr;
        };
        pthread_t thread;
        if (pthread_create(&thread, nullptr, try_nice, &probe) != 0) return;
        pthread_join(thread, nullptr);
        lower_nice = probe.granted;
        nice = lowest;
    }
};

const WorkerPlacement& worker_placement()
{
    static const WorkerPlacement placement;
    return placement;
}

struct WorkerStart {
    void (*entry)(int index);
    int index;
};

void* worker_main(void* argument)
{
    const auto* start = static_cast<const WorkerStart*>(argument);
    if (worker_placement().lower_nice) set_thread_nice(worker_placement().nice);
    start->entry(start->index);
    return nullptr;
}

} // namespace

namespace platform {

void run_pinned_worker_pair(void (*entry)(int index))
{
    const WorkerPlacement& placement = worker_placement();
    // Both starts live on this stack until both workers are joined.
    const WorkerStart starts[2] = {{entry, 0}, {entry, 1}};
    pthread_t threads[2];
    bool started[2] = {false, false};
    for (int k = 0; k < 2; ++k) {
        void* argument = const_cast<WorkerStart*>(&starts[k]);
        // Refused placement: an ordinary thread still splits the work.
        started[k] = (placement.pinned[k] &&
                      pthread_create(&threads[k], &placement.attributes[k], worker_main, argument) == 0) ||
                     pthread_create(&threads[k], nullptr, worker_main, argument) == 0;
    }
    // No thread at all: the band is drawn here, so the frame still completes.
    for (int k = 0; k < 2; ++k) {
        if (!started[k]) entry(k);
    }
    for (int k = 0; k < 2; ++k) {
        if (started[k]) pthread_join(threads[k], nullptr);
    }
}

void* allocate_frame_buffer(size_t bytes)
{
    if (bytes == 0) return nullptr;
    void* buffer = nullptr;
    // Frame-sized buffers sit on 2 MiB pages where the kernel offers them: a frame's walk down
    // the rows then needs a few dozen address translations instead of thousands. At 1910 x 1070
    // this took the frame's median from 2.11 to 1.87 ms, at 3830 x 2150 from 11.4 to 10.1 ms.
    const bool huge = bytes >= huge_page_bytes;
    const size_t alignment = huge ? huge_page_bytes : frame_buffer_alignment;
    if (posix_memalign(&buffer, alignment, bytes) != 0) return nullptr;
#ifdef MADV_HUGEPAGE
    // Only advice: where it is refused the buffer works just the same on ordinary pages. Whole
    // pages only, so the advice never reaches memory past the buffer.
    const size_t whole_pages = bytes / huge_page_bytes * huge_page_bytes;
    if (huge) (void)madvise(buffer, whole_pages, MADV_HUGEPAGE);
#endif
    memset(buffer, 0, bytes);
    return buffer;
}

void free_frame_buffer(void* buffer) { free(buffer); }

uint64_t tick_counter()
{
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#elif defined(__aarch64__)
    // The virtual count of the generic timer, which Linux lets every program read.
    uint64_t count;
    asm volatile("mrs %0, cntvct_el0" : "=r"(count));
    return count;
#else
    return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

void use_parent_console() {}

void sleep_ms(int milliseconds)
{
    if (milliseconds <= 0) return;
    timespec remaining{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal cuts the pause short; sleep on for what is left.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

} // namespace platform

} // namespace morvane
