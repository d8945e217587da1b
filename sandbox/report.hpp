// The launcher's report of what it put up, as one JSON object for the host.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "outcome.hpp"

namespace tarvik::sandbox {

using Report = std::vector<std::pair<std::string, Outcome>>;

// {"name": "active: ..." | "unavailable: why", ...}
std::string report_json(const Report &report);

// Writes all of `text` to `fd`, retrying short writes; false on failure.
bool write_all(int fd, const std::string &text);

// Writes `text` to the existing file at `path`; false (errno set) on failure.
bool write_all_to(const std::string &path, const std::string &text);

}  // namespace tarvik::sandbox
