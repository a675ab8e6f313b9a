// What a benchmark ran on: the processor, the build, and which inner loops each code path
// runs on this processor.
#pragma once

#include <string>

#include "bench/report.h"
#include "scene/scene.h"

namespace morvane::bench {

// The processor's brand string (cpuid), else the model name from /proc/cpuinfo, else
// "unknown processor".
std::string processor_name();

// The one-minute load average (/proc/loadavg), or -1 where there is none.
double load_average();

// Processor, logical processor count, compiler and version, build type and flags.
MachineReport describe_machine();

// The inner loops behind the clear, the shading and the rays for a code path, as the stages
// name them on this processor for the scene's frame size.
struct PathNames {
    std::string clear;
    std::string shading;
    std::string rays;
};
PathNames path_names(SceneBlock::CodePath path);

} // namespace morvane::bench
