// Parent-death signal, no_new_privs, ids and capabilities.
#pragma once

#include <sys/types.h>

#include "outcome.hpp"

namespace tarvik::sandbox {

// SIGKILL when the process that started us dies, so nothing outlives its host.
Outcome die_with_parent();

// no_new_privs: set-user-ID bits and file capabilities stop working, which
// also lets an unprivileged process use Landlock and seccomp.
bool forbid_new_privileges();

// No capabilities now, and none to be regained by executing anything.
Outcome drop_capabilities();

// Become `uid`/`gid` with no supplementary groups (a no-op when already so).
void switch_ids(uid_t uid, gid_t gid);

}  // namespace tarvik::sandbox
