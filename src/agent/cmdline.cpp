#include "agent/cmdline.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* const kUsage[] = {
    " Usage: qdx [-d|-i] [-v|-vd] [-p <port>] [-u <user>] <cfg_file>",
    "  -d        - daemon mode (default)",
    "  -i        - interactive mode",
    "  -v        - verbose mode",
    "  -vd       - verbose debugging mode",
    "  -p <port> - overrides TCP port number specified in cfg_file",
    "  -u <user> - runs as <user>, keeping only the capability to read files",
    "  cfg_file  - obligatory parameter, path to configuration file\n",
    " Examples:",
    "  qdx -i -v -p 1055 /etc/qdx/qdx.cfg",
    "  qdx -d ~/qdx/qdx.cfg\n",
};

const char kMissedParameter[] = "Error\nInvalid or missed command line parameter";

}  // namespace

void showhelp(const char* error) {
    std::printf("%s\n\n", error);
    for (const char* line : kUsage) std::puts(line);
    std::fflush(stdout);
    std::exit(1);
}

void ParseCommandLine(int argc, char** argv, TQDXSettings& settings) {
    int i = 1;
    auto need = [&] {
        if (i >= argc) showhelp(kMissedParameter);
    };
    auto is = [&](const char* option) { return std::strcmp(argv[i], option) == 0; };

    need();
    if (is("-i")) {
        settings.interactive = 1;
        i++;
    } else if (is("-d")) {
        settings.interactive = 0;
        i++;
    }
    need();
    if (is("-v")) {
        settings.verbose = 1;
        i++;
    }
    need();
    if (is("-vd")) {
        settings.verbose = 1;
        settings.verbosedetail = 1;
        i++;
    }
    need();
    if (is("-p")) {
        i++;
        need();
        // Negative values are refused as well: they can never be listened on.
        int port = std::atoi(argv[i]);
        if (port <= 0 || port > 65535) showhelp("Error\nInvalid port number");
        settings.port = port;
        i++;
    }
    need();
    if (is("-u")) {
        i++;
        need();
        // A name that does not fit could only be cut into another user's name.
        if (std::strlen(argv[i]) >= sizeof settings.runuser || argv[i][0] == '\0')
            showhelp("Error\nInvalid user name");
        std::snprintf(settings.runuser, sizeof settings.runuser, "%s", argv[i]);
        i++;
    }
    need();
    std::snprintf(settings.cfgfile, sizeof settings.cfgfile, "%s", argv[i]);
}
