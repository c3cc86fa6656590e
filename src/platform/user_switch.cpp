#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/privileges.h"

namespace {

bool Failed(const char* step, std::string& reason) {
    reason = std::string(step) + ": " + std::strerror(errno);
    return false;
}

}  // namespace

bool LookUpUser(const char* name, TRunAs& user, std::string& reason) {
    if (name == nullptr || name[0] == '\0') {
        reason = "no user named";
        return false;
    }
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    int error;
    while ((error = getpwnam_r(name, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (found == nullptr) {
        // A number names a user too, as for chown.
        char* end = nullptr;
        errno = 0;
        unsigned long number = std::strtoul(name, &end, 10);
        if (errno == 0 && end != name && *end == '\0' && number < 0xFFFFFFFFul)
            error = getpwuid_r(static_cast<uid_t>(number), &entry, buffer.data(), buffer.size(),
                               &found);
    }
    if (found == nullptr) {
        reason = std::string("no such user '") + name + "'";
        if (error != 0) reason += std::string(": ") + std::strerror(error);
        return false;
    }
    user.name = found->pw_name;
    user.uid = found->pw_uid;
    user.gid = found->pw_gid;
    return true;
}

bool SwitchToUser(const TRunAs& user, std::string& reason) {
    if (user.uid == 0) {
        reason = "the user to run as must not be root";
        return false;
    }
    if (!KeepCapabilitiesAcrossUserChange(reason)) return false;
    if (initgroups(user.name.c_str(), user.gid) != 0) return Failed("initgroups", reason);
    if (setresgid(user.gid, user.gid, user.gid) != 0) return Failed("setresgid", reason);
    if (setresuid(user.uid, user.uid, user.uid) != 0) return Failed("setresuid", reason);
    if (!SettleReadCapability(reason)) return false;
    // Proof that there is no way back: root's user id cannot be taken again.
    uid_t real, effective, saved;
    if (getresuid(&real, &effective, &saved) != 0 || real != user.uid || effective != user.uid ||
        saved != user.uid || setuid(0) == 0) {
        reason = "the user could not be changed for good";
        return false;
    }
    return true;
}
