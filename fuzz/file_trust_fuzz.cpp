// Trusted paths on arbitrary names: no crash, no endless walk, and a verdict that always comes
// with a reason on refusal. The names are taken inside a scratch tree with folders others may
// write, a sticky one, links in a loop, links up and out to the root, so inputs reach every turn
// of the walk.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "config/file_trust.h"
#include "scratch_folder.h"

namespace {

std::string root;

void Folder(const char* name, mode_t mode) {
    std::string path = root + "/" + name;
    mkdir(path.c_str(), 0700);
    chmod(path.c_str(), mode);
}

void Link(const char* target, const char* name) {
    symlink(target, (root + "/" + name).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    root = MakeScratchFolder("qdxtrustfuzz");
    if (FILE* f = std::fopen((root + "/f").c_str(), "w")) std::fclose(f);
    Folder("d", 0755);
    Folder("open", 0777);
    Folder("sticky", 01777);
    Link("b", "a");
    Link("a", "b");
    Link("..", "up");
    Link("/", "abs");
    Link("f", "file");
    Link("d/../open/../f", "winding");
    Link("missing", "dangling");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 4096) return 0;
    // The first byte chooses what is asked; the rest is a name inside the scratch tree.
    const String name(reinterpret_cast<const char*>(data) + 1, static_cast<int>(size - 1));
    const String path = String(root.c_str()) + "/" + name;
    String reason;
    bool trusted;
    switch (data[0] % 3) {
        case 0:
            trusted = IsTrustedPath(path, TrustedKind::File, getuid(), reason);
            break;
        case 1:
            trusted = IsTrustedPath(path, TrustedKind::Folder, getuid(), reason);
            break;
        default:
            trusted = ScriptMayRun(path, name, reason);
            break;
    }
    if (trusted == (reason.Length() > 0)) abort();
    return 0;
}
