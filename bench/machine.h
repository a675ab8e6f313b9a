// What a benchmark ran on: the processor, the load and the build.
#pragma once

#include "bench/report.h"

namespace morvane::bench {

// The one-minute load average (/proc/loadavg), or -1 where there is none.
double load_average();

// The processor's brand string (cpuid, else /proc/cpuinfo, else "unknown processor"), the
// logical processor count, the load now, the compiler and its version, build type and flags.
MachineReport describe_machine();

} // namespace morvane::bench
