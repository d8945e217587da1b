// A task's only way out when the operator granted network hosts: its TCP
// connections to 127.0.0.1 carried to the host's network proxy.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "unique_fd.hpp"

namespace tarvik::sandbox {

// Runs in the task's supervisor, never in the tool process: tool code can
// reach the proxy only through the listener, and the proxy decides which
// host each connection may reach.
class Forwarder {
public:
    // Listens on 127.0.0.1:`port` in the task's own network namespace, whose
    // loopback is up; throws StepError when it cannot.
    explicit Forwarder(uint16_t port);
    ~Forwarder();
    Forwarder(const Forwarder &) = delete;
    Forwarder &operator=(const Forwarder &) = delete;
    Forwarder(Forwarder &&) = delete;
    Forwarder &operator=(Forwarder &&) = delete;

    // The proxy's socket, as an O_PATH descriptor opened in the host's tree
    // before it was detached: each connection is made through it.
    void connect_through(UniqueFd proxy_socket);
    bool connected() const { return proxy_socket_.valid(); }

    // Appends what to poll for now to `ready`; `handle` takes that same run
    // of entries back once polled.
    void want(std::vector<pollfd> &ready) const;
    void handle(const pollfd *ready);

    // Closes every connection: a call's tunnels end with the call.
    void drop_links();

private:
    struct Link;
    void accept_one();

    UniqueFd listener_;
    UniqueFd proxy_socket_;
    std::vector<std::unique_ptr<Link>> links_;
};

}  // namespace tarvik::sandbox
