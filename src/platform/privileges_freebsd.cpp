#if defined(__FreeBSD__)

#include "platform/privileges.h"

// The system has no capability that reads every file while leaving the rest of root's powers
// out: an agent switched to a user reads what that user may read.

bool KeepCapabilitiesAcrossUserChange(std::string&) {
    return true;
}

bool SettleReadCapability(std::string&) {
    return true;
}

bool ClearInheritedCapabilities(std::string&) {
    return true;
}

bool HoldsReadCapability() {
    return false;
}

void RaiseReadCapabilityForExec() {}

void LowerReadCapabilityAfterExec() {}

#endif
