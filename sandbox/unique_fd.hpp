// A file descriptor owned by one object, closed when it goes.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <utility>

namespace tarvik::sandbox {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    UniqueFd(UniqueFd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    // Gives the descriptor up without closing it (to a child that carries on with it).
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_ = -1;
};

// Both ends of a new pipe, read end first; neither is valid when it failed.
struct Pipe {
    UniqueFd read;
    UniqueFd write;

    explicit Pipe(int flags = O_CLOEXEC) {
        int ends[2] = {-1, -1};
        if (pipe2(ends, flags) == 0) {
            read = UniqueFd(ends[0]);
            write = UniqueFd(ends[1]);
        }
    }
    bool valid() const { return read.valid(); }
};

}  // namespace tarvik::sandbox
