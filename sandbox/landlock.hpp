// The Landlock domain of one task.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "outcome.hpp"

namespace tarvik::sandbox {

// The kernel's Landlock ABI version, 0 when it has none or refuses it.
long landlock_abi();

// Whether this kernel can keep a task's signals and abstract unix sockets
// inside its own domain (ABI 6); without it, tasks need network namespaces
// of their own to keep their abstract sockets apart.
bool landlock_scopes_ipc();

// A domain of the task's own: read and execute everywhere it can see, change
// only beneath `writable` (and the devices), no TCP but to `tcp_ports`, and
// (ABI 6) no signals or abstract sockets beyond the task. Layers only narrow:
// nothing the tool does can lift it.
Outcome restrict_task(const std::string &writable, const std::vector<uint16_t> &tcp_ports);

}  // namespace tarvik::sandbox
