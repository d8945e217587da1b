// The system-call wall: a seccomp filter refusing what no tool needs.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <vector>

#include "protections.hpp"

namespace {

#ifdef __x86_64__
constexpr uint32_t kArchitecture = AUDIT_ARCH_X86_64;
// x32 system calls reach the same kernel through numbers with this bit set.
constexpr uint32_t kX32Bit = 0x40000000U;
#elif defined(__aarch64__)
constexpr uint32_t kArchitecture = AUDIT_ARCH_AARCH64;
#else
#error "the seccomp filter knows x86-64 and AArch64 only"
#endif

// Refused with EPERM: debugging other processes, changing the system or the
// kernel, leaving the namespaces, and kernel interfaces with a history of
// privilege escalations. Kept a few to a line, grouped by purpose.
// clang-format off
constexpr long kRefused[] = {
    SYS_ptrace, SYS_process_vm_readv, SYS_process_vm_writev, SYS_pidfd_getfd, SYS_kcmp,
    SYS_mount, SYS_umount2, SYS_pivot_root, SYS_chroot, SYS_swapon, SYS_swapoff, SYS_reboot,
    SYS_kexec_load, SYS_kexec_file_load, SYS_init_module, SYS_finit_module, SYS_delete_module,
    SYS_bpf, SYS_perf_event_open, SYS_userfaultfd, SYS_unshare, SYS_setns, SYS_keyctl,
    SYS_add_key, SYS_request_key, SYS_acct, SYS_settimeofday, SYS_clock_settime, SYS_adjtimex,
    SYS_clock_adjtime, SYS_syslog, SYS_vhangup, SYS_quotactl, SYS_open_by_handle_at,
    SYS_name_to_handle_at, SYS_fanotify_init, SYS_io_uring_setup,
    SYS_io_uring_enter, SYS_io_uring_register, SYS_move_mount, SYS_open_tree, SYS_fsopen,
    SYS_fsconfig, SYS_fsmount, SYS_fspick, SYS_mount_setattr,
#ifdef __x86_64__
    SYS_iopl, SYS_ioperm, SYS_modify_ldt, SYS_uselib, SYS_lookup_dcookie,
#endif
};
// clang-format on

constexpr uint32_t kNamespaceFlags = CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS | CLONE_NEWIPC |
                                     CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET;

constexpr uint32_t kAllow = SECCOMP_RET_ALLOW;
constexpr uint32_t kRefuse = SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA);
// clone3 passes its flags in memory a filter cannot read; ENOSYS makes the C
// library fall back to clone, whose flags it can.
constexpr uint32_t kNotImplemented = SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA);

sock_filter statement(uint16_t code, uint32_t value) { return BPF_STMT(code, value); }

sock_filter jump(uint16_t code, uint32_t value, uint8_t if_true, uint8_t if_false) {
    return BPF_JUMP(code, value, if_true, if_false);
}

std::vector<sock_filter> build_filter() {
    std::vector<sock_filter> program;
    const auto load = [&](size_t offset) {
        program.push_back(statement(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(offset)));
    };
    const auto refuse_if = [&](uint32_t number, uint32_t action) {
        program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, number, 0, 1));
        program.push_back(statement(BPF_RET | BPF_K, action));
    };

    load(offsetof(seccomp_data, arch));
    program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, kArchitecture, 1, 0));
    program.push_back(statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
    load(offsetof(seccomp_data, nr));
#ifdef __x86_64__
    program.push_back(jump(BPF_JMP | BPF_JGE | BPF_K, kX32Bit, 0, 1));
    program.push_back(statement(BPF_RET | BPF_K, kRefuse));
#endif
    for (const long number : kRefused) refuse_if(static_cast<uint32_t>(number), kRefuse);
    refuse_if(SYS_clone3, kNotImplemented);

    // clone: allowed unless it asks for a new namespace (flags are argument 0
    // on both architectures; only their low half holds namespace bits).
    program.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 0, 3));
    load(offsetof(seccomp_data, args[0]));
    program.push_back(jump(BPF_JMP | BPF_JSET | BPF_K, kNamespaceFlags, 0, 1));
    program.push_back(statement(BPF_RET | BPF_K, kRefuse));
    program.push_back(statement(BPF_RET | BPF_K, kAllow));
    return program;
}

}  // namespace

namespace tarvik::sandbox {

Outcome filter_system_calls() {
    std::vector<sock_filter> program = build_filter();
    sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
        return Outcome::skipped(system_error("prctl(PR_SET_SECCOMP)"));
    }
    return Outcome::applied("active: " + std::to_string(std::size(kRefused) + 1) +
                            " system calls refused (ptrace, mount, bpf, kexec, unshare, ...)");
}

}  // namespace tarvik::sandbox
