// A small FUSE file system for the tests of file systems that stop answering. It holds:
//
//   /file.txt, /hang     "hello\n"
//   /log.txt             two lines
//   /sub/inner.txt       "inner\n"
//
// Usage: hanging_fs MOUNTPOINT MODE RELEASE_FD
//   MODE "name": every getattr of /hang waits; the rest answers.
//   MODE "all":  every operation waits, the root's getattr and statfs included (a dead server).
// A waiting operation goes on once RELEASE_FD (the read end of a pipe) becomes readable or its
// writer closes it: from then on the file system answers everything. The kernel's caches are
// switched off, so every access reaches this process.
#define FUSE_USE_VERSION 31

#include <fuse.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

int releaseFd = -1;
bool hangAll = false;
time_t started = 0;

struct Node {
    const char* path;
    bool folder;
    const char* content;
};

const Node kNodes[] = {
    {"/", true, nullptr},        {"/file.txt", false, "hello\n"},
    {"/hang", false, "hello\n"}, {"/log.txt", false, "line one\nERROR two\n"},
    {"/sub", true, nullptr},     {"/sub/inner.txt", false, "inner\n"},
};

// Waits until the test lets the file system answer.
void WaitForRelease() {
    pollfd release{releaseFd, POLLIN, 0};
    while (poll(&release, 1, -1) < 0 && errno == EINTR) {
    }
}

void MaybeHang() {
    if (hangAll) WaitForRelease();
}

const Node* Find(const char* path) {
    for (const Node& node : kNodes)
        if (std::strcmp(node.path, path) == 0) return &node;
    return nullptr;
}

void* Init(fuse_conn_info*, fuse_config* config) {
    config->attr_timeout = 0;
    config->entry_timeout = 0;
    config->negative_timeout = 0;
    config->direct_io = 1;
    config->kernel_cache = 0;
    return nullptr;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info*) {
    MaybeHang();
    if (std::strcmp(path, "/hang") == 0) WaitForRelease();
    const Node* node = Find(path);
    if (node == nullptr) return -ENOENT;
    std::memset(st, 0, sizeof *st);
    st->st_mode = node->folder ? (S_IFDIR | 0755) : (S_IFREG | 0644);
    st->st_nlink = node->folder ? 2 : 1;
    st->st_size = node->content ? static_cast<off_t>(std::strlen(node->content)) : 0;
    st->st_mtime = st->st_ctime = st->st_atime = started;
    return 0;
}

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
            fuse_readdir_flags) {
    MaybeHang();
    const Node* folder = Find(path);
    if (folder == nullptr || !folder->folder) return -ENOENT;
    fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    std::string prefix = std::strcmp(path, "/") == 0 ? "/" : std::string(path) + "/";
    for (const Node& node : kNodes) {
        std::string name = node.path;
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        name = name.substr(prefix.size());
        if (name.find('/') == std::string::npos)
            fill(buffer, name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    }
    return 0;
}

int Open(const char* path, fuse_file_info* info) {
    MaybeHang();
    const Node* node = Find(path);
    if (node == nullptr) return -ENOENT;
    if (node->folder) return -EISDIR;
    if ((info->flags & O_ACCMODE) != O_RDONLY) return -EACCES;
    return 0;
}

int Read(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info*) {
    MaybeHang();
    const Node* node = Find(path);
    if (node == nullptr || node->content == nullptr) return -ENOENT;
    size_t length = std::strlen(node->content);
    if (static_cast<size_t>(offset) >= length) return 0;
    size_t count = length - static_cast<size_t>(offset);
    if (count > size) count = size;
    std::memcpy(buffer, node->content + offset, count);
    return static_cast<int>(count);
}

int StatFs(const char*, struct statvfs* info) {
    MaybeHang();
    std::memset(info, 0, sizeof *info);
    info->f_bsize = info->f_frsize = 4096;
    info->f_blocks = 1000;
    info->f_bfree = info->f_bavail = 500;
    info->f_namemax = 255;
    return 0;
}

int Access(const char*, int) {
    MaybeHang();
    return 0;
}

int OpenDir(const char*, fuse_file_info*) {
    MaybeHang();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s MOUNTPOINT name|all RELEASE_FD\n", argv[0]);
        return 2;
    }
    hangAll = std::strcmp(argv[2], "all") == 0;
    releaseFd = std::atoi(argv[3]);
    started = time(nullptr) - 3600;

    fuse_operations operations{};
    operations.init = Init;
    operations.getattr = GetAttr;
    operations.readdir = ReadDir;
    operations.open = Open;
    operations.read = Read;
    operations.statfs = StatFs;
    operations.access = Access;
    operations.opendir = OpenDir;

    char program[] = "hanging_fs";
    char foreground[] = "-f";
    char option[] = "-o";
    char options[] = "allow_other,fsname=qdxhang,subtype=qdxhang,max_threads=64";
    char* args[] = {program, foreground, option, options, argv[1], nullptr};
    return fuse_main(5, args, &operations, nullptr);
}
