// A FUSE file system that stops answering (tests/fuse/hanging_fs.cpp), mounted for one test. Its
// process and every mount made of it never outlive the fixture: the destructor lets waiting calls
// go, detaches the mounts lazily and kills the process by its id, also when the test fails.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class HangingMount {
public:
    // Mounts the file system on the folder `point` (which must exist). `mode` is "name" (only
    // getattr of /hang waits) or "all" (every operation waits).
    HangingMount(const std::string& point, const char* mode);
    ~HangingMount();
    HangingMount(const HangingMount&) = delete;
    HangingMount& operator=(const HangingMount&) = delete;

    // False when FUSE is not available here or the mount was refused; Why() says which.
    bool Ready() const { return ready_; }
    const std::string& Why() const { return why_; }

    // Mounts the file system once more on `folder` (a bind mount); false when refused.
    bool BindTo(const std::string& folder);
    // The file system answers again, from now on.
    void Release();

private:
    pid_t pid_ = -1;
    int releaseWriter_ = -1;
    std::string point_;
    std::vector<std::string> binds_;
    bool ready_ = false;
    std::string why_;
};

// True when `point` is listed as a mount point in this process's mount table.
bool IsMountPoint(const std::string& point);
// The "Threads:" count of process `pid`, -1 when it cannot be read.
int ThreadCount(pid_t pid);
