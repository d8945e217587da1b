// Turning the launcher's outcomes into the JSON line the host reads.
#include "report.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "unique_fd.hpp"

namespace tarvik::sandbox {
namespace {

std::string quoted(const std::string &text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

}  // namespace

std::string report_json(const Report &report) {
    std::string json = "{";
    for (const auto &[name, outcome] : report) {
        if (json.size() > 1) json += ", ";
        const std::string state =
            outcome.active ? outcome.detail : "unavailable: " + outcome.detail;
        json += quoted(name) + ": " + quoted(state);
    }
    return json + "}\n";
}

bool write_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

bool write_all_to(const std::string &path, const std::string &text) {
    UniqueFd file(open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (!file.valid()) return false;
    const bool written = write_all(file.get(), text);
    const int saved = errno;
    file.reset();
    errno = saved;
    return written;
}

}  // namespace tarvik::sandbox
