// The report of what was applied, as one JSON object for the host.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "protections.hpp"

namespace tarvik::sandbox {

using Report = std::vector<std::pair<std::string, Outcome>>;

// {"name": "active: ..." | "unavailable: why", ...}
std::string report_json(const Report &report);

// Writes all of `text` to `fd`, retrying short writes; false on failure.
bool write_all(int fd, const std::string &text);

}  // namespace tarvik::sandbox
