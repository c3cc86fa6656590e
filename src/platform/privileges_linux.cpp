#if defined(__linux__)

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/privileges.h"

// The raw system calls rather than a library: RaiseReadCapabilityForExec runs in a signal handler
// too, and each call here is a single async-signal-safe system call.

namespace {

constexpr unsigned kReadBit = 1u << CAP_DAC_READ_SEARCH;  // below 32: in the first word

struct CapabilitySets {
    __user_cap_data_struct data[2] = {};
};

bool GetSets(CapabilitySets& sets) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capget, &header, sets.data) == 0;
}

bool SetSets(CapabilitySets& sets) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capset, &header, sets.data) == 0;
}

bool ClearAmbient() {
    // EINVAL: a kernel older than 4.3 has no ambient set, so there is nothing to clear.
    return prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) == 0 || errno == EINVAL;
}

bool Failed(const char* step, std::string& reason) {
    reason = std::string(step) + ": " + std::strerror(errno);
    return false;
}

}  // namespace

bool KeepCapabilitiesAcrossUserChange(std::string& reason) {
    if (prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) return Failed("prctl(PR_SET_KEEPCAPS)", reason);
    return true;
}

bool SettleReadCapability(std::string& reason) {
    if (prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0) != 0) return Failed("prctl(PR_SET_KEEPCAPS)", reason);
    CapabilitySets sets;
    sets.data[0].permitted = sets.data[0].effective = kReadBit;
    if (!SetSets(sets)) return Failed("capset", reason);
    if (!ClearAmbient()) return Failed("prctl(PR_CAP_AMBIENT_CLEAR_ALL)", reason);
    if (!HoldsReadCapability()) {
        reason = "the read capability was not kept";
        return false;
    }
    return true;
}

bool ClearInheritedCapabilities(std::string& reason) {
    if (!ClearAmbient()) return Failed("prctl(PR_CAP_AMBIENT_CLEAR_ALL)", reason);
    CapabilitySets sets;
    if (!GetSets(sets)) return Failed("capget", reason);
    if (sets.data[0].inheritable == 0 && sets.data[1].inheritable == 0) return true;
    sets.data[0].inheritable = sets.data[1].inheritable = 0;
    if (!SetSets(sets)) return Failed("capset", reason);
    return true;
}

bool HoldsReadCapability() {
    CapabilitySets sets;
    return GetSets(sets) && (sets.data[0].effective & kReadBit) != 0;
}

void RaiseReadCapabilityForExec() {
    // Root gets every capability from execve anyway.
    if (geteuid() == 0) return;
    CapabilitySets sets;
    if (!GetSets(sets) || (sets.data[0].permitted & kReadBit) == 0) return;
    sets.data[0].inheritable |= kReadBit;
    if (!SetSets(sets)) return;
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_DAC_READ_SEARCH, 0, 0);
}

void LowerReadCapabilityAfterExec() {
    std::string ignored;
    ClearInheritedCapabilities(ignored);
}

#endif
