// The system-call walls: seccomp filters refusing what no tool needs.
#include "seccomp_filter.hpp"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <vector>

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

// Refused with EPERM everywhere: debugging other processes, changing the
// system or the kernel, and kernel interfaces with a history of privilege
// escalations. Kept a few to a line, grouped by purpose.
// clang-format off
constexpr long kRefusedInPool[] = {
    SYS_ptrace, SYS_process_vm_readv, SYS_process_vm_writev, SYS_pidfd_getfd, SYS_kcmp,
    SYS_swapon, SYS_swapoff, SYS_reboot,
    SYS_kexec_load, SYS_kexec_file_load, SYS_init_module, SYS_finit_module, SYS_delete_module,
    SYS_bpf, SYS_perf_event_open, SYS_userfaultfd, SYS_keyctl,
    SYS_add_key, SYS_request_key, SYS_acct, SYS_settimeofday, SYS_clock_settime, SYS_adjtimex,
    SYS_clock_adjtime, SYS_syslog, SYS_vhangup, SYS_quotactl, SYS_open_by_handle_at,
    SYS_name_to_handle_at, SYS_fanotify_init, SYS_io_uring_setup,
    SYS_io_uring_enter, SYS_io_uring_register,
#ifdef __x86_64__
    SYS_iopl, SYS_ioperm, SYS_modify_ldt, SYS_uselib, SYS_lookup_dcookie,
#endif
};

// Refused with EPERM in a task besides: leaving its namespaces or changing
// its mounts.
constexpr long kRefusedInTask[] = {
    SYS_mount, SYS_umount2, SYS_pivot_root, SYS_chroot, SYS_unshare, SYS_setns,
    SYS_move_mount, SYS_open_tree, SYS_fsopen, SYS_fsconfig, SYS_fsmount, SYS_fspick,
    SYS_mount_setattr,
};
// clang-format on

constexpr uint32_t kNamespaceFlags = CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS | CLONE_NEWIPC |
                                     CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET;
constexpr uint32_t kSocketTypeMask = 0xf;

constexpr uint32_t kAllow = SECCOMP_RET_ALLOW;
constexpr uint32_t refuse(int error_number) {
    return SECCOMP_RET_ERRNO | (static_cast<uint32_t>(error_number) & SECCOMP_RET_DATA);
}

class Program {
public:
    void load(size_t offset) {
        add(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(offset)));
    }
    void load_argument(int index) {
        load(offsetof(seccomp_data, args) + (static_cast<size_t>(index) * sizeof(uint64_t)));
    }
    void give(uint32_t action) { add(BPF_STMT(BPF_RET | BPF_K, action)); }
    // if (A == value) skip `if_true` instructions, else `if_false`.
    void jump_if_equal(uint32_t value, uint8_t if_true, uint8_t if_false) {
        add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, if_true, if_false));
    }
    void jump_if_any_bit(uint32_t bits, uint8_t if_true, uint8_t if_false) {
        add(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, bits, if_true, if_false));
    }
    void jump_if_at_least(uint32_t value, uint8_t if_true, uint8_t if_false) {
        add(BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, value, if_true, if_false));
    }
    void mask(uint32_t bits) { add(BPF_STMT(BPF_ALU | BPF_AND | BPF_K, bits)); }
    // One system call answered with `action`; A must hold the call's number.
    void answer(long number, uint32_t action) {
        jump_if_equal(static_cast<uint32_t>(number), 0, 1);
        give(action);
    }
    std::vector<sock_filter> &instructions() { return program_; }

private:
    void add(sock_filter instruction) { program_.push_back(instruction); }
    std::vector<sock_filter> program_;
};

std::vector<sock_filter> build_filter(tarvik::sandbox::FilterProfile profile) {
    Program program;
    program.load(offsetof(seccomp_data, arch));
    program.jump_if_equal(kArchitecture, 1, 0);
    program.give(SECCOMP_RET_KILL_PROCESS);
    program.load(offsetof(seccomp_data, nr));
#ifdef __x86_64__
    program.jump_if_at_least(kX32Bit, 0, 1);
    program.give(refuse(EPERM));
#endif
    // A task's filter stacks on the pool's, and the kernel runs every filter
    // of the stack: it need only add what a task may not do besides.
    const bool stacked = prctl(PR_GET_SECCOMP, 0, 0, 0, 0) == SECCOMP_MODE_FILTER;
    if (profile == tarvik::sandbox::FilterProfile::pool || !stacked) {
        for (const long number : kRefusedInPool) program.answer(number, refuse(EPERM));
    }
    if (profile == tarvik::sandbox::FilterProfile::task) {
        for (const long number : kRefusedInTask) program.answer(number, refuse(EPERM));
        // clone3 passes its flags in memory a filter cannot read; ENOSYS makes
        // the C library fall back to clone, whose flags it can.
        program.answer(SYS_clone3, refuse(ENOSYS));

        // clone: allowed unless it asks for a new namespace (flags are argument
        // 0 on both architectures; only their low half holds namespace bits).
        program.jump_if_equal(SYS_clone, 0, 4);
        program.load_argument(0);
        program.jump_if_any_bit(kNamespaceFlags, 0, 1);
        program.give(refuse(EPERM));
        program.give(kAllow);

        // socket: unix sockets, and TCP (which Landlock keeps from connecting);
        // no UDP, raw or netlink sockets, so nothing reaches a network or
        // another task through one. EACCES reads as the refusal it is.
        program.jump_if_equal(SYS_socket, 0, 9);
        program.load_argument(0);
        program.jump_if_equal(AF_UNIX, 5, 0);
        program.jump_if_equal(AF_INET, 1, 0);
        program.jump_if_equal(AF_INET6, 0, 4);
        program.load_argument(1);
        program.mask(kSocketTypeMask);
        program.jump_if_equal(SOCK_STREAM, 0, 1);
        program.give(kAllow);
        program.give(refuse(EACCES));
    }
    program.give(kAllow);
    return std::move(program.instructions());
}

}  // namespace

namespace tarvik::sandbox {

Outcome filter_system_calls(FilterProfile profile) {
    std::vector<sock_filter> program = build_filter(profile);
    sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
        return Outcome::skipped(system_error("prctl(PR_SET_SECCOMP)"));
    }
    if (profile == FilterProfile::pool) {
        return Outcome::applied("active: " + std::to_string(std::size(kRefusedInPool)) +
                                " system calls refused (ptrace, bpf, kexec, modules, ...)");
    }
    return Outcome::applied("active: " + std::to_string(std::size(kRefusedInTask)) +
                            " more system calls refused (mount, unshare, setns, ...), "
                            "new namespaces refused, sockets only unix and TCP");
}

}  // namespace tarvik::sandbox
