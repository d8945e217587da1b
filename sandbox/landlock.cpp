// The file-system, TCP and IPC wall of a task: a Landlock domain of its own.
#include "landlock.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "unique_fd.hpp"

// The kernel's interface, spelled out here so that older headers still build
// code that uses whatever newer kernels offer.
namespace {

#ifndef SYS_landlock_create_ruleset
constexpr long SYS_landlock_create_ruleset = 444;
constexpr long SYS_landlock_add_rule = 445;
constexpr long SYS_landlock_restrict_self = 446;
#endif

constexpr uint32_t kCreateRulesetVersion = 1U << 0;
constexpr int kRulePathBeneath = 1;
constexpr int kRuleNetPort = 2;

struct RulesetAttr {
    uint64_t handled_access_fs;
    uint64_t handled_access_net;  // ABI 4
    uint64_t scoped;              // ABI 6
};

struct __attribute__((packed)) PathBeneathAttr {
    uint64_t allowed_access;
    int32_t parent_fd;
};

struct NetPortAttr {
    uint64_t allowed_access;
    uint64_t port;
};

constexpr uint64_t kExecute = 1ULL << 0;
constexpr uint64_t kWriteFile = 1ULL << 1;
constexpr uint64_t kReadFile = 1ULL << 2;
constexpr uint64_t kReadDir = 1ULL << 3;
constexpr uint64_t kAbi1Rights = (1ULL << 13) - 1;  // execute .. make_sym
constexpr uint64_t kRefer = 1ULL << 13;             // ABI 2
constexpr uint64_t kTruncate = 1ULL << 14;          // ABI 3
constexpr uint64_t kIoctlDevice = 1ULL << 15;       // ABI 5
constexpr uint64_t kNetBindTcp = 1ULL << 0;         // ABI 4
constexpr uint64_t kNetConnectTcp = 1ULL << 1;
constexpr uint64_t kScopeAbstractUnixSocket = 1ULL << 0;  // ABI 6
constexpr uint64_t kScopeSignal = 1ULL << 1;

// Devices a tool may open for writing although they are outside its scratch.
constexpr std::array kWritableDevices = {"/dev/null", "/dev/zero", "/dev/urandom"};

bool add_path_rule(int ruleset, const char *path, uint64_t rights) {
    const tarvik::sandbox::UniqueFd target(open(path, O_PATH | O_CLOEXEC));
    if (target.get() < 0) return false;
    PathBeneathAttr rule{rights, target.get()};
    return syscall(SYS_landlock_add_rule, ruleset, kRulePathBeneath, &rule, 0) == 0;
}

}  // namespace

namespace tarvik::sandbox {

long landlock_abi() {
    const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, kCreateRulesetVersion);
    return abi < 0 ? 0 : abi;
}

bool landlock_scopes_ipc() { return landlock_abi() >= 6; }

Outcome restrict_task(const std::string &writable, const std::vector<uint16_t> &tcp_ports) {
    const long abi = landlock_abi();
    if (abi < 1) return Outcome::skipped(system_error("landlock_create_ruleset"));

    uint64_t handled = kAbi1Rights;
    if (abi >= 2) handled |= kRefer;
    if (abi >= 3) handled |= kTruncate;
    if (abi >= 5) handled |= kIoctlDevice;
    const uint64_t read_rights = kExecute | kReadFile | kReadDir;
    const uint64_t device_rights = kReadFile | kWriteFile | (handled & kTruncate);

    RulesetAttr attr{handled, 0, 0};
    size_t attr_size = sizeof(uint64_t);
    std::string extras;
    if (abi >= 4) {
        attr.handled_access_net = kNetBindTcp | kNetConnectTcp;
        attr_size = 2 * sizeof(uint64_t);
        extras += tcp_ports.empty() ? "; TCP refused" : "; TCP only to the network proxy";
    }
    if (abi >= 6) {
        attr.scoped = kScopeAbstractUnixSocket | kScopeSignal;
        attr_size = sizeof(attr);
        extras += "; no signals or abstract sockets beyond the task";
    }

    const tarvik::sandbox::UniqueFd ruleset(
        static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, attr_size, 0)));
    if (ruleset.get() < 0) return Outcome::skipped(system_error("landlock_create_ruleset"));
    if (!add_path_rule(ruleset.get(), "/", read_rights)) {
        return Outcome::skipped(system_error("landlock_add_rule(/)"));
    }
    if (!add_path_rule(ruleset.get(), writable.c_str(), handled | read_rights)) {
        return Outcome::skipped(system_error("landlock_add_rule(" + writable + ")"));
    }
    for (const char *device : kWritableDevices) {
        add_path_rule(ruleset.get(), device, device_rights);  // absent devices are no loss
    }
    if (abi >= 4) {
        for (const uint16_t port : tcp_ports) {
            NetPortAttr rule{kNetConnectTcp, port};
            if (syscall(SYS_landlock_add_rule, ruleset.get(), kRuleNetPort, &rule, 0) != 0) {
                return Outcome::skipped(system_error("landlock_add_rule(port)"));
            }
        }
    }
    if (syscall(SYS_landlock_restrict_self, ruleset.get(), 0) != 0) {
        return Outcome::skipped(system_error("landlock_restrict_self"));
    }
    return Outcome::applied("active: ABI " + std::to_string(abi) + "; writable only " + writable +
                            " and /dev/null, /dev/zero, /dev/urandom" + extras);
}

}  // namespace tarvik::sandbox
