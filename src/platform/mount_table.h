// The system's table of mounted file systems, read without touching any of them: a file system
// that stopped answering (a dead NFS server, a hung FUSE daemon) must not hold the reader.
// mount_table_linux.cpp reads /proc/self/mountinfo and learns of changes from poll();
// mount_table_freebsd.cpp asks the kernel's list without refreshing it (MNT_NOWAIT).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One mount as the table lists it.
struct TMountRecord {
    int id = 0;      // unique within one reading of the table
    int parent = 0;  // id of the mount it was mounted on; an id not in the table for the root
    // The file system mounted; every mount of the same file system (bind mounts) has the same.
    uint64_t fs = 0;
    std::string point;  // absolute path of the mount point, escapes decoded
};

// Reads the table over and over, each time only when it may have changed.
class TMountTableReader {
public:
    TMountTableReader();
    ~TMountTableReader();
    TMountTableReader(const TMountTableReader&) = delete;
    TMountTableReader& operator=(const TMountTableReader&) = delete;

    // True when the table may have changed since the last Read (always before the first). Never
    // waits.
    bool Changed();
    // Reads the whole table into `records`. Returns 0, or the system's error number.
    int Read(std::vector<TMountRecord>& records);

    // The least time between two readings: the system tells of changes here (100 ms), or it does
    // not and every reading is a full one (a second).
    static int RereadMilliseconds();

private:
    int fd_ = -1;
    bool readOnce_ = false;
};

// Parses the text of a Linux mountinfo file: one mount per line, "id parent major:minor root
// point options [optional fields] - type source options", the mount point with its blanks, tabs,
// line feeds and backslashes written as octal escapes ("\040"). Lines that do not have this form
// are skipped. Portable, so that tests and the fuzzer run it everywhere.
void ParseMountInfo(std::string_view text, std::vector<TMountRecord>& records);
