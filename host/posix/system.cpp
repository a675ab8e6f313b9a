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
#define MORVANE_HAVE_RDTSC 1
#else
#define MORVANE_HAVE_RDTSC 0
#endif

#include "host/platform.h"
#include "pipeline/pipeline.h"

namespace morvane {

namespace {

constexpr size_t frame_buffer_alignment = 64;  // a cache line; the clears need 16
constexpr size_t huge_page_bytes = size_t{2} << 20;

// Where and at what priority the two workers of a frame run. Found once, on the first frame,
// and constant from then on: the thread attributes are prepared here so that starting the
// workers of a frame allocates nothing beyond what thread creation itself does.
struct WorkerPlacement {
    pthread_attr_t attributes[2];
    bool has_attributes[2] = {false, false};
    // Worker threads lower their own nice value to this when `lower_nice` is set.
    bool lower_nice = false;
    int nice = 0;
};

#if defined(__linux__)
// The first and second processor of the process's affinity mask, as one-processor sets;
// returns how many there are (0 when the mask cannot be read).
int first_two_processors(cpu_set_t (&sets)[2])
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return 0;
    int found = 0;
    for (int cpu = 0; cpu < CPU_SETSIZE && found < 2; ++cpu) {
        if (!CPU_ISSET(cpu, &allowed)) continue;
        CPU_ZERO(&sets[found]);
        CPU_SET(cpu, &sets[found]);
        ++found;
    }
    return found;
}
#endif

struct NiceProbe {
    int nice;
    bool granted;
};

void* try_nice(void* argument)
{
    auto* probe = static_cast<NiceProbe*>(argument);
#if defined(__linux__)
    probe->granted = setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), probe->nice) == 0;
#else
    probe->granted = false;
#endif
    return nullptr;
}

// The workers run at the highest priority of the ordinary, time-shared range that the process
// is granted: a nice value down to 20 - RLIMIT_NICE. Never a real-time policy, even where
// RLIMIT_RTPRIO would allow one: a renderer at full speed must not starve the sound server or
// the compositor. Tried once, on a throw-away thread; a refusal is final and silent, and the
// workers then run at the ordinary priority.
void choose_priority(WorkerPlacement& placement)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NICE, &limit) == 0 && limit.rlim_cur > 0) {
        errno = 0;
        const int current = getpriority(PRIO_PROCESS, 0);
        if (errno != 0) return;
        const int lowest = limit.rlim_cur == RLIM_INFINITY ? -20 : std::max(-20, 20 - static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 40)));
        if (lowest >= current) return;
        NiceProbe probe{lowest, false};
        pthread_t thread;
        if (pthread_create(&thread, nullptr, try_nice, &probe) != 0) return;
        pthread_join(thread, nullptr);
        placement.lower_nice = probe.granted;
        placement.nice = lowest;
    }
}

WorkerPlacement find_worker_placement()
{
    WorkerPlacement placement;
    for (pthread_attr_t& attributes : placement.attributes) pthread_attr_init(&attributes);
#if defined(__linux__)
    // Worker k runs on the k-th processor the process may use. With a single processor,
    // worker 1 runs wherever the scheduler puts it; the frame is complete all the same.
    cpu_set_t processors[2];
    const int found = first_two_processors(processors);
    for (int k = 0; k < found; ++k) {
        if (pthread_attr_setaffinity_np(&placement.attributes[k], sizeof(cpu_set_t), &processors[k]) == 0) {
            placement.has_attributes[k] = true;
        }
    }
#endif
    choose_priority(placement);
    return placement;
}

const WorkerPlacement& worker_placement()
{
    static const WorkerPlacement placement = find_worker_placement();
    return placement;
}

struct WorkerStart {
    void (*entry)(int index);
    int index;
    const WorkerPlacement* placement;
};

void* worker_main(void* argument)
{
    const auto* start = static_cast<const WorkerStart*>(argument);
#if defined(__linux__)
    if (start->placement->lower_nice) setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), start->placement->nice);
#endif
    start->entry(start->index);
    return nullptr;
}

} // namespace

namespace platform {

void run_pinned_worker_pair(void (*entry)(int index))
{
    const WorkerPlacement& placement = worker_placement();
    // Both starts live on this stack until both workers are joined.
    const WorkerStart starts[2] = {{entry, 0, &placement}, {entry, 1, &placement}};
    pthread_t threads[2];
    bool started[2] = {false, false};
    for (int k = 0; k < 2; ++k) {
        void* argument = const_cast<WorkerStart*>(&starts[k]);
        if (placement.has_attributes[k]) {
            started[k] = pthread_create(&threads[k], &placement.attributes[k], worker_main, argument) == 0;
        }
        // Refused placement: an ordinary thread still splits the work.
        if (!started[k]) started[k] = pthread_create(&threads[k], nullptr, worker_main, argument) == 0;
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
#if MORVANE_HAVE_RDTSC
    return __rdtsc();
#else
    return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

void use_parent_console() {}

const PlatformServices& renderer_services()
{
    static const PlatformServices services{allocate_frame_buffer, free_frame_buffer, run_pinned_worker_pair};
    return services;
}

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
