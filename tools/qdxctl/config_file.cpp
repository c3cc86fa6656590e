#include "config_file.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "commands.h"
#include "config/options.h"
#include "config/settings.h"
#include "input_file.h"
#include "net/iplist.h"

namespace {

bool Load(const std::string& path, TQDXSettings& settings, std::string& message) {
    // The reader would wait on a FIFO and read a device forever: give it regular files only.
    if (!IsBoundedRegularFile(path, kMaxConfigFile, message)) return false;
    String text;
    bool ok = path.size() < sizeof settings.cfgfile;
    if (ok) {
        std::memcpy(settings.cfgfile, path.c_str(), path.size() + 1);
        ok = LoadOptions_(settings, text);
    } else {
        text = "the configuration file's path is too long";
    }
    message.assign(text.Data() ? text.Data() : "", static_cast<size_t>(text.Length()));
    return ok;
}

std::string Of(const String& text) {
    return std::string(text.Data() ? text.Data() : "", static_cast<size_t>(text.Length()));
}

// The client takes only where to connect, the password and the TLS port and trust from the
// file, which are its owner's anyway: a file of the agent's own user (as the package installs it)
// is read as that user's agent would read it.
bool LoadAsItsOwner(const std::string& path, TQDXSettings& settings, std::string& error) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0)
        std::snprintf(settings.runuser, sizeof settings.runuser, "%u",
                      static_cast<unsigned>(info.st_uid));
    return Load(path, settings, error);
}

}  // namespace

bool EndpointFromConfig(const std::string& path, QdxEndpoint& endpoint, std::string& qdxpath,
                        std::string& error) {
    TQDXSettings settings;
    if (!LoadAsItsOwner(path, settings, error)) return false;
    std::string host = Of(settings.host);
    // An agent listening on every address answers on loopback.
    if (host.empty() || host == "0.0.0.0")
        endpoint.host = "127.0.0.1";
    else
        endpoint.host = host == "::" ? "::1" : host;
    endpoint.port = settings.port;
    endpoint.password = Of(settings.password);
    qdxpath = Of(settings.qdxpath);
    return true;
}

bool TlsFromConfig(const std::string& path, int& tlsport, TlsOptions& tls, std::string& error) {
    TQDXSettings settings;
    if (!LoadAsItsOwner(path, settings, error)) return false;
    tlsport = settings.tlsport;
    if (tls.caFile.empty()) tls.caFile = Of(settings.tlscafile);
    if (tls.pskIdentity.empty()) tls.pskIdentity = Of(settings.tlspskidentity);
    if (tls.pskFile.empty()) tls.pskFile = Of(settings.tlspskfile);
    return true;
}

int VerifyConfig(const std::string& path) {
    TQDXSettings settings;
    std::string message;
    bool ok = Load(path, settings, message);
    while (!message.empty() && message.back() == '\n') message.pop_back();
    if (!ok) {
        std::fprintf(stderr, "%s: configuration invalid:\n%s\n", path.c_str(), message.c_str());
        return 1;
    }
    for (const std::string& line :
         AddressListWarnings(settings.filterlist, settings.manageaddr, settings.updateaddr))
        message += (message.empty() ? "" : "\n") + line;
    if (!message.empty()) std::fprintf(stderr, "%s: warning:\n%s\n", path.c_str(), message.c_str());
    std::printf("%s: configuration OK\n", path.c_str());
    return 0;
}

int RunVerifyConfigCommand(Options& options) {
    if (options.words.size() != 1) Fail("verify-config needs one configuration file");
    return VerifyConfig(options.words[0]);
}
