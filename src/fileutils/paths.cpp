#include "fileutils/paths.h"

#include <cstring>

#include "fileutils/file_facts.h"

namespace {

constexpr int kMaxFileName = 4095;

}  // namespace

bool IsPathDelimiter(const String& s, int i) {
    return i >= 1 && i <= s.Length() && s[i] == '/';
}

bool IsDelimiter(const char* delims, const String& s, int i) {
    if (delims == nullptr || i < 1 || i > s.Length() || s[i] == '\0') return false;
    return std::strchr(delims, s[i]) != nullptr;
}

int LastDelimiter(const char* delims, const String& s) {
    for (int i = s.Length(); i >= 1; i--)
        if (IsDelimiter(delims, s, i)) return i;
    return 0;
}

String IncludeTrailingPathDelimiter(const String& s) {
    if (IsPathDelimiter(s, s.Length())) return s;
    return s + "/";
}

String ExcludeTrailingPathDelimiter(const String& s) {
    if (!IsPathDelimiter(s, s.Length())) return s;
    return s.Copy(1, s.Length() - 1);
}

String ExtractFilePath(const String& s) {
    return s.Copy(1, LastDelimiter("/", s));
}

String ExtractFileName(const String& s) {
    int slash = LastDelimiter("/", s);
    return s.Copy(slash + 1, kMaxFileName);
}

String ExtractFileExt(const String& s) {
    int dot = LastDelimiter("./", s);
    if (dot == 0 || s[dot] != '.') return String();
    return s.Copy(dot, s.Length() - dot + 1);
}

String ExpandTilde(const String& s) {
    return s;
}

namespace {

// Drops the last component of a normalised path, keeping the '/' before it ("/a/b" and "/a/b/"
// both give "/a/"). The root stays.
void DropLastComponent(String& path) {
    int end = path.Length();
    if (end <= 1) return;
    if (path[end] == '/') end--;
    while (end > 0 && path[end] != '/') end--;
    path = path.Copy(1, end);
}

}  // namespace

String ExpandFileName(const String& s) {
    if (s.Length() == 0) return String();
    if (s[1] == '~') return s;
    String name = s[1] == '/' ? s : IncludeTrailingPathDelimiter(GetCurrentDir()) + s;

    // Copies the name piece by piece into `result`: j is the first byte not yet copied, and
    // afterDelimiter tells whether a '.' here may start a "." or ".." component.
    const int n = name.Length();
    String result;
    int j = 1;
    bool afterDelimiter = false;
    for (int i = 1; i <= n; i++) {
        char c = name[i];
        if (c == '/') {
            if (j < i) {
                if (name[i - 1] != '/') result += name.Copy(j, i - j);
                j = i;
                afterDelimiter = true;
            }
        } else if (c == '.' && afterDelimiter) {
            if (i == n) {
                result = ExcludeTrailingPathDelimiter(result);
                j = n + 1;
            } else if (name[i + 1] == '.' && (i + 2 > n || name[i + 2] != '.')) {
                DropLastComponent(result);
                j = i;  // the second dot then takes the "./" rule below
            } else if (name[i + 1] == '/') {
                result = IncludeTrailingPathDelimiter(result);
                i++;
                j = i + 1;
            } else {
                afterDelimiter = false;
            }
        } else {
            afterDelimiter = false;
        }
    }
    if (j <= n) result += name.Copy(j, n - j + 1);
    return result;
}
