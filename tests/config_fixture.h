// Helpers shared by the configuration tests: a scratch folder, file contents, and guards that put
// the process environment and the settings in force back as they were.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "config/settings.h"

namespace configtest {

// A fresh folder from mkdtemp, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qdxcfg.XXXXXX").string();
        char* made = mkdtemp(pattern.data());
        EXPECT_NE(made, nullptr);
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void WriteFile(const std::string& path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

inline std::optional<std::string> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

inline bool Exists(const std::string& path) {
    return std::filesystem::exists(path);
}

inline std::string Str(const String& s) {
    return s.Length() ? std::string(s.Data(), static_cast<size_t>(s.Length())) : std::string();
}

inline void SetCfgFile(TQDXSettings& settings, const std::string& path) {
    ASSERT_LT(path.size(), sizeof settings.cfgfile);
    std::memset(settings.cfgfile, 0, sizeof settings.cfgfile);
    std::memcpy(settings.cfgfile, path.data(), path.size());
}

// Restores TMPDIR and TMP, which the normalisation step reads and writes.
class EnvGuard {
public:
    EnvGuard() : tmpdir_(Get("TMPDIR")), tmp_(Get("TMP")) {}
    ~EnvGuard() {
        Put("TMPDIR", tmpdir_);
        Put("TMP", tmp_);
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    static std::optional<std::string> Get(const char* name) {
        const char* value = getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    }
    static void Put(const char* name, const std::optional<std::string>& value) {
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    std::optional<std::string> tmpdir_, tmp_;
};

// Puts the settings in force back after a test that publishes its own.
class SettingsGuard {
public:
    SettingsGuard() : saved_(CurrentSettings()) {}
    ~SettingsGuard() { PublishSettings(*saved_); }
    SettingsGuard(const SettingsGuard&) = delete;
    SettingsGuard& operator=(const SettingsGuard&) = delete;

private:
    SettingsSnapshot saved_;
};

}  // namespace configtest
