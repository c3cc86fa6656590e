#include "agent/denied_rules.h"

#include <cstring>

#include "config/config_format.h"
#include "config/messages.h"
#include "fileutils/file_facts.h"

namespace {

// A setting that names a file holding a key or a password: no check may read that file. A new
// setting of that kind is denied by adding its row here.
struct SecretFileSetting {
    const char* name;
    String (*path)(const TQDXSettings&);
};

const SecretFileSetting kSecretFileSettings[] = {
    // The configuration file holds the password, wherever it lies.
    {"configuration file", [](const TQDXSettings& s) { return ConfigPath(s); }},
    {"tlskeyfile", [](const TQDXSettings& s) { return s.tlskeyfile; }},
    {"tlspskfile", [](const TQDXSettings& s) { return s.tlspskfile; }},
};

std::string Text(const String& s) {
    return std::string(s.Data() != nullptr ? s.Data() : "", static_cast<size_t>(s.Length()));
}

// The folder of the configuration file: its ".New" and ".Old" hold the password too.
std::string ConfigFolder(const TQDXSettings& s) {
    std::string path(s.cfgfile, strnlen(s.cfgfile, sizeof s.cfgfile));
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// An absolute form of `path`: relative ones start at the working folder, as the agent opens them.
std::string Absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    String cwd = GetCurrentDir();
    std::string base = Text(cwd);
    if (base.empty()) return std::string();
    if (base.back() != '/') base.push_back('/');
    return path == "." ? base.substr(0, base.size() - 1) : base + path;
}

void ReportDenied(const char* asked, const char* rule) {
    showmessage("'%s' refused: no check may read it (rule: %s)\n", LOCAL, msgFail, 1, asked, rule);
}

void RefreshOnPublish(const TQDXSettings& settings) {
    SetDeniedPaths(DeniedRulesOf(settings));
}

}  // namespace

std::vector<TDeniedRule> DeniedRulesOf(const TQDXSettings& settings) {
    std::vector<TDeniedRule> rules;
    if (settings.denydefaults != 0) rules = DefaultDeniedRules();
    rules.push_back({Absolute(ConfigFolder(settings)), "the agent's configuration folder"});
    for (const SecretFileSetting& setting : kSecretFileSettings) {
        std::string path = Absolute(Text(setting.path(settings)));
        if (!path.empty()) rules.push_back({path, setting.name});
    }
    // Entries of "denypaths", CR LF separated.
    const std::string list = Text(settings.denypaths);
    for (size_t start = 0; start < list.size();) {
        size_t end = list.find("\r\n", start);
        if (end == std::string::npos) end = list.size();
        std::string entry = list.substr(start, end - start);
        if (!entry.empty()) rules.push_back({Absolute(entry), "denypaths " + entry});
        start = end + 2;
    }
    return rules;
}

void KeepDeniedPathsInForce(const TQDXSettings& settings) {
    SetDeniedReporter(ReportDenied);
    SetDeniedPaths(DeniedRulesOf(settings));
    SetSettingsPublishedHook(RefreshOnPublish);
}
