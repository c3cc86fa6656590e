#include "config/log_path.h"

#include <cstring>

String LogFilePath(const String& file, const char* cfgfile) {
    if (file.Length() == 0 || file.Pos('/') != 0 || cfgfile == nullptr) return file;
    const char* slash = std::strrchr(cfgfile, '/');
    if (slash == nullptr) return file;
    String path(cfgfile, static_cast<int>(slash - cfgfile) + 1);
    path += "/";
    path += file;
    return path;
}
