// The machine and build lines of the benchmark report.
#include "bench/machine.h"

#include <cstring>
#include <fstream>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

// The build system passes these in; a build without them still reports something true.
#ifndef MORVANE_BENCH_BUILD_TYPE
#define MORVANE_BENCH_BUILD_TYPE "unknown build type"
#endif
#ifndef MORVANE_BENCH_CXX_FLAGS
#define MORVANE_BENCH_CXX_FLAGS ""
#endif
#ifndef MORVANE_BENCH_TARGET_FLAGS
#define MORVANE_BENCH_TARGET_FLAGS ""
#endif

namespace morvane::bench {

namespace {

std::string trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::string brand_from_cpuid()
{
#if defined(__x86_64__) || defined(__i386__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(0x80000000u, &a, &b, &c, &d) == 0 || a < 0x80000004u) return {};
    // Three leaves of 16 bytes each: the brand string, NUL-padded.
    char brand[49] = {};
    for (unsigned leaf = 0; leaf < 3; ++leaf) {
        unsigned r[4] = {};
        __get_cpuid(0x80000002u + leaf, &r[0], &r[1], &r[2], &r[3]);
        std::memcpy(brand + size_t{16} * leaf, r, sizeof r);
    }
    return trimmed(brand);
#else
    return {};
#endif
}

std::string model_from_proc_cpuinfo()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        // "model name" on x86, "Model" or "Processor" on some ARM kernels.
        for (const char* key : {"model name", "Model", "Processor", "cpu model"}) {
            if (line.rfind(key, 0) != 0) continue;
            const size_t colon = line.find(':');
            if (colon != std::string::npos) return trimmed(line.substr(colon + 1));
        }
    }
    return {};
}

std::string compiler_name()
{
#if defined(__clang__)
    return trimmed(std::string("clang ") + __clang_version__);
#elif defined(__GNUC__)
    return std::string("g++ ") + __VERSION__;
#elif defined(_MSC_VER)
    return "MSVC " + std::to_string(_MSC_FULL_VER);
#else
    return "unknown compiler";
#endif
}

} // namespace

double load_average()
{
    std::ifstream file("/proc/loadavg");
    double load = -1.0;
    return file >> load ? load : -1.0;
}

MachineReport describe_machine()
{
    MachineReport machine;
    machine.processor = brand_from_cpuid();
    if (machine.processor.empty()) machine.processor = model_from_proc_cpuinfo();
    if (machine.processor.empty()) machine.processor = "unknown processor";
    machine.logical_processors = std::thread::hardware_concurrency();
    machine.load_start = machine.load_end = load_average();
    machine.compiler = compiler_name();
    machine.build_type = MORVANE_BENCH_BUILD_TYPE;
    machine.flags = trimmed(std::string(MORVANE_BENCH_CXX_FLAGS) + " " + MORVANE_BENCH_TARGET_FLAGS);
#if defined(MORVANE_EXACT_ESTIMATES)
    machine.flags += " (exact reciprocals in place of the estimates)";
#endif
    return machine;
}

} // namespace morvane::bench
