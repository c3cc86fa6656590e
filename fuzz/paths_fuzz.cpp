// Path functions and the file-name macros on arbitrary text: no crash, no read outside a String,
// and the invariants that callers rely on. The macros and the search read real directories: each
// input is tried as it is and inside a small scratch tree made for the run.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fileutils/paths.h"
#include "fileutils/search.h"
#include "handlers/file_macros.h"

namespace {

char root[256];

void Make(const std::string& name, bool folder) {
    std::string path = std::string(root) + "/" + name;
    if (folder) {
        mkdir(path.c_str(), 0755);
    } else if (FILE* f = std::fopen(path.c_str(), "w")) {
        std::fclose(f);
    }
}

void Require(bool condition) {
    if (!condition) abort();
}

bool HasMacro(String text) {
    text.LowerCase();
    for (const char* macro : {"%newestfile%", "%oldestfile%", "%newestfolder%", "%oldestfolder%"})
        if (text.Pos(macro, -1) != 0) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* folder = getenv("TMPDIR");
    if (folder == nullptr || std::strlen(folder) > 200) folder = "/tmp";
    std::snprintf(root, sizeof root, "%s/qdxpathfuzz.XXXXXX", folder);
    if (mkdtemp(root) == nullptr) abort();
    for (const char* name : {"a", "b", "a/x", "a/y", ".h"}) Make(name, true);
    for (const char* name : {"f.log", "g.txt", "a/x/1", "a/x/2", "b/z"}) Make(name, false);
    atexit([] {
        std::string command = std::string("rm -rf '") + root + "'";
        if (std::system(command.c_str()) != 0)
            std::fputs("cannot remove the scratch tree\n", stderr);
    });
    return 0;
}

namespace {

void Examine(const String& text, int attr) {
    const String path = ExtractFilePath(text);
    const String name = ExtractFileName(text);
    if (name.Length() < 4095) Require(path + name == text);
    const String withDelimiter = IncludeTrailingPathDelimiter(text);
    Require(IsPathDelimiter(withDelimiter, withDelimiter.Length()));
    if (text.Length() > 0 && !IsPathDelimiter(text, text.Length()))
        Require(ExcludeTrailingPathDelimiter(withDelimiter) == text);
    const String ext = ExtractFileExt(text);
    Require(ext.Length() == 0 || ext[1] == '.');
    ExpandFileName(text);

    const String expanded = GetFileUsingSpecialMacros(text);
    if (!HasMacro(text)) Require(expanded == text);
    GetFirstMatchedFile(expanded);

    String zeroEnded(text);
    zeroEnded.SetZero();
    TSearchRec rec;
    if (FindFirst(zeroEnded.Data(), attr, rec) == 0) {
        for (int i = 0; i < 64 && FindNext(rec) == 0; i++) Require((rec.Attr & attrSymLink) == 0);
        FindClose(rec);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 8192) return 0;
    const String text(reinterpret_cast<const char*>(data), static_cast<int>(size));
    const int attr = size > 0 ? data[0] : 0;
    Examine(text, attr);
    Examine(String(root) + "/" + text, attr);
    return 0;
}
