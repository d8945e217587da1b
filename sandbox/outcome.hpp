// What one protection came to, and how a refused step is named.
#pragma once

#include <cerrno>
#include <stdexcept>
#include <string>
#include <utility>

namespace tarvik::sandbox {

// In force, or skipped with the reason; the launcher reports these to the host.
struct Outcome {
    bool active = false;
    std::string detail;

    static Outcome applied(std::string detail) { return {true, std::move(detail)}; }
    static Outcome skipped(std::string reason) { return {false, std::move(reason)}; }
};

// "step: strerror(errno)", for the reason a step was refused.
std::string system_error(const std::string &step);

// A step of building a task's world that failed; carries the errno it failed with.
class StepError : public std::runtime_error {
public:
    StepError(const std::string &step, int error_number)
        : std::runtime_error(step), error_number_(error_number) {}
    int error_number() const { return error_number_; }

private:
    int error_number_;
};

// Throws StepError(step, errno) unless `succeeded`.
inline void check(bool succeeded, const std::string &step) {
    if (!succeeded) throw StepError(step, errno);
}

}  // namespace tarvik::sandbox
