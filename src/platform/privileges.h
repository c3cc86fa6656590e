// The agent's identity and its one capability: the switch from root to the user named by "-u",
// and the read capability (search every folder, read every file) kept by an agent that runs as
// a user of its own. privileges_linux.cpp and privileges_freebsd.cpp.
//
// Capabilities belong to each thread: every function here acts on the calling thread, and the
// start-up ones are called in the main thread before any other thread or child is made, so all
// of them inherit the result.
#pragma once

#include <sys/types.h>

#include <string>

// What SwitchToUser and the start-up found out about the process.
struct TRunAs {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
};

// Looks up `name` (a user name, or a number) in the user database. False with the reason when
// there is no such user.
bool LookUpUser(const char* name, TRunAs& user, std::string& reason);

// Takes the user, group and supplementary groups of `user` and keeps exactly the read
// capability in the permitted and effective sets (none inheritable or ambient). For a process
// running as root. False with the reason (the step that failed and the system's error) when any
// step failed: the process is then in an unknown state and must end.
bool SwitchToUser(const TRunAs& user, std::string& reason);

// Clears the inheritable and ambient sets, so that programs the agent starts get no capability;
// the process's own permitted and effective sets stay. False with the reason on failure.
bool ClearInheritedCapabilities(std::string& reason);

// True when the calling thread holds the read capability in its effective set.
bool HoldsReadCapability();

// Just before the agent re-executes itself (restart, upgrade script): puts the read capability,
// when the thread holds it, into its inheritable and ambient sets, so the new image runs with it
// as a non-root user. Async-signal-safe. LowerReadCapabilityAfterExec undoes it when the execve
// failed.
void RaiseReadCapabilityForExec();
void LowerReadCapabilityAfterExec();

// The two system-specific steps of SwitchToUser, around the change of user: before it, ask the
// system to keep the permitted set across it; after it, leave the read capability alone in the
// permitted and effective sets.
bool KeepCapabilitiesAcrossUserChange(std::string& reason);
bool SettleReadCapability(std::string& reason);
