// The run, printed for people or as one JSON object.
#pragma once

#include <cstdio>

#include <nlohmann/json.hpp>

#include "life.h"

namespace sim {

void PrintText(const Options& options, const RunResult& run, std::FILE* out);
nlohmann::ordered_json ToJson(const RunResult& run);

}  // namespace sim
