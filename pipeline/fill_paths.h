// Which fill the clear runs on each code path, and what that fill is called.
#pragma once

#include <cstdint>

#include "scene/scene.h"

namespace morvane {

struct FillPath {
    const char* name;  // what the benchmark prints: "scalar" or "SSE2"
    void (*fill)(uint32_t* destination, int64_t count, uint32_t value);
};

// fill_dwords for `fastest`, fill_dwords_scalar for `scalar` (pipeline/pipeline.h).
const FillPath& fill_path(SceneBlock::CodePath code_path);

} // namespace morvane
