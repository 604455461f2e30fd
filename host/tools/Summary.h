#pragma once

#include <string>

#include "host/engine/Scanner.h"

namespace tools {

// The closing words of a scan: counts by status, the time taken, the
// slowest plug-ins, every failure of this run with its reason, the
// incidents, and where the results are.
std::string Summary(const host::Scanner& scanner, const std::string& resultsPath, int jobs);

}  // namespace tools
