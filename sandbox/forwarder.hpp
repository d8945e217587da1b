// A task's only way out when the operator granted network hosts: its TCP
// connections to 127.0.0.1 carried to the host's network proxy.
#pragma once

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

    // Carries connections until `tool` has ended, reaping every process the
    // task leaves to the supervisor meanwhile; returns the tool's wait status.
    int relay_until_exit(pid_t tool);

private:
    struct Link;
    void accept_one();
    void step(Link &link, short tool_events, short proxy_events);

    UniqueFd listener_;
    UniqueFd signals_;
    UniqueFd proxy_socket_;
    std::vector<std::unique_ptr<Link>> links_;
};

}  // namespace tarvik::sandbox
