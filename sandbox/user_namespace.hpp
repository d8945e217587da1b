// User namespaces: the launcher's own, away from the host, and each task's.
#pragma once

#include <sys/types.h>

#include "outcome.hpp"

namespace tarvik::sandbox {

// The user that runs tools when the host is root: nobody, never the host's root.
constexpr uid_t kToolUserWhenRoot = 65534;
constexpr gid_t kToolGroupWhenRoot = 65534;

// A user namespace of our own, in which we are root and hold the capabilities
// that building task worlds needs, with a new, empty network namespace: no
// interface but a loopback that is down. When the host is root, the tool
// user is mapped too.
Outcome isolate_from_host();

// A namespace of the task's own, mapping only our current ids (to
// `inside_uid`/`inside_gid`): whatever we held in the parent namespace is
// gone, and the kernel counts the task's processes apart from every other's.
void enter_task_user_namespace(uid_t inside_uid, gid_t inside_gid);

}  // namespace tarvik::sandbox
