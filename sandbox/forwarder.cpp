// The forwarder of a task with granted network hosts: 127.0.0.1:PORT to the host's proxy.
#include "forwarder.hpp"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

#include "outcome.hpp"

namespace tarvik::sandbox {
namespace {

constexpr size_t kBufferBytes = size_t{1} << 16;
// Enough for a tool's connection pool; each costs two descriptors and two buffers.
constexpr size_t kMaxLinks = 64;

// One direction of a link: what was read from one side and not yet written
// to the other.
struct Stream {
    std::vector<char> buffer = std::vector<char>(kBufferBytes);
    size_t start = 0;
    size_t end = 0;
    bool ended = false;  // its source reached end-of-file
    bool shut = false;   // its destination was shut for writing

    bool empty() const { return start == end; }
    bool wants_input() const { return !ended && empty(); }

    // A read from `from` when it has something (or ended) and the buffer is
    // free, then a write of what is buffered to `to`; false when either side
    // failed. Both descriptors are non-blocking.
    bool move(int from, int to, short from_events) {
        if (from_events != 0 && wants_input()) {
            const ssize_t count = read(from, buffer.data(), buffer.size());
            if (count > 0) {
                start = 0;
                end = static_cast<size_t>(count);
            } else if (count == 0) {
                ended = true;
            } else if (errno != EAGAIN && errno != EINTR) {
                return false;
            }
        }
        if (!empty()) {
            const ssize_t count = send(to, buffer.data() + start, end - start, MSG_NOSIGNAL);
            if (count > 0) {
                start += static_cast<size_t>(count);
                if (empty()) start = end = 0;
            } else if (count < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            }
        }
        if (ended && empty() && !shut) {
            shutdown(to, SHUT_WR);
            shut = true;
        }
        return true;
    }
};

}  // namespace

struct Forwarder::Link {
    UniqueFd tool;
    UniqueFd proxy;
    Stream up;    // tool -> proxy
    Stream down;  // proxy -> tool
    bool broken = false;

    bool finished() const { return broken || (up.shut && down.shut); }
    short tool_events() const {
        return static_cast<short>((up.wants_input() ? POLLIN : 0) | (down.empty() ? 0 : POLLOUT));
    }
    short proxy_events() const {
        return static_cast<short>((down.wants_input() ? POLLIN : 0) | (up.empty() ? 0 : POLLOUT));
    }
};

Forwarder::Forwarder(uint16_t port) {
    listener_ = UniqueFd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    check(listener_.valid(), "socket for the network proxy's forwarder");
    const int reuse = 1;
    setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    check(bind(listener_.get(), reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0,
          "bind 127.0.0.1:" + std::to_string(port));
    check(listen(listener_.get(), SOMAXCONN) == 0, "listen on 127.0.0.1:" + std::to_string(port));
}

Forwarder::~Forwarder() = default;

void Forwarder::connect_through(UniqueFd proxy_socket) { proxy_socket_ = std::move(proxy_socket); }

void Forwarder::accept_one() {
    UniqueFd tool(accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!tool.valid()) return;
    UniqueFd proxy(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!proxy.valid()) return;
    // The proxy's socket by its descriptor: the host's tree is gone, and its
    // path was never in the task's world.
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = "/proc/self/fd/" + std::to_string(proxy_socket_.get());
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // A proxy too busy to take it (EAGAIN) closes the tool's connection.
    if (connect(proxy.get(), reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
        return;
    }
    auto link = std::make_unique<Link>();
    link->tool = std::move(tool);
    link->proxy = std::move(proxy);
    links_.push_back(std::move(link));
}

void Forwarder::drop_links() { links_.clear(); }

void Forwarder::want(std::vector<pollfd> &ready) const {
    const bool room = connected() && links_.size() < kMaxLinks;
    ready.push_back({room ? listener_.get() : -1, POLLIN, 0});
    for (const auto &link : links_) {
        // A side with nothing to do is left out: its hang-up would only wake us.
        const short tool_events = link->tool_events();
        const short proxy_events = link->proxy_events();
        ready.push_back({tool_events != 0 ? link->tool.get() : -1, tool_events, 0});
        ready.push_back({proxy_events != 0 ? link->proxy.get() : -1, proxy_events, 0});
    }
}

void Forwarder::handle(const pollfd *ready) {
    for (size_t index = 0; index < links_.size(); ++index) {
        Link &link = *links_[index];
        const short tool_events = ready[1 + (2 * index)].revents;
        const short proxy_events = ready[2 + (2 * index)].revents;
        if (tool_events == 0 && proxy_events == 0) continue;
        if (!link.up.move(link.tool.get(), link.proxy.get(), tool_events) ||
            !link.down.move(link.proxy.get(), link.tool.get(), proxy_events)) {
            link.broken = true;
        }
    }
    std::erase_if(links_, [](const auto &link) { return link->finished(); });
    if (ready[0].revents != 0) accept_one();
}

}  // namespace tarvik::sandbox
