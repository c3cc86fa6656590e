// Decrypted request texts: the dispatcher and every handler it reaches must answer any text
// with a well-formed reply. The peer (127.0.0.1) may manage the agent and the switches are on, so
// GetSettings, SetSettings and ReloadCfg run for real, against a configuration file in a scratch
// folder that every input starts from afresh. Switches whose handlers run programs or reach other
// hosts (process, CPU usage, external program, shell script, TCP, UDP and the three actions) stay
// off: fuzzed command lines and addresses must never leave the fuzzer. No log is written.
// The scratch folder also holds files, folders and a log for the file, file-list and text-log
// commands; every "$D" in an input stands for the folder's path, so the seeds can name them. The
// file commands stay inside it: the target works in the folder, and an input with a line that
// holds a '/' without starting with "$D", or that holds "..", is skipped, so that a walk of the
// whole host cannot stall the fuzzer.
#include <arpa/inet.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "agent/dispatch.h"
#include "config/options.h"
#include "config/settings.h"
#include "foundation/twofish.h"
#include "protocol/reply.h"
#include "protocol/request.h"
#include "scratch_folder.h"

namespace {

std::string folder;
std::string configText;
int configFile = -1;
TQDXSettings baseline;

void WriteFile(const std::string& name, const std::string& content) {
    std::string path = folder + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        abort();
    close(fd);
}

// Files to compare and checksum, a small tree to count and list, and a log with lines for every
// kind of filter (the seeds send position 0 and a last size and time that never match, so each
// scan reads the whole log).
void MakeFixture() {
    for (const char* sub : {"data", "data/old", "data/new", "data/new/deeper", "log"})
        if (mkdir((folder + "/" + sub).c_str(), 0700) != 0) abort();
    WriteFile("data/a", "same content\n");
    WriteFile("data/b", "same content\n");
    WriteFile("data/c", "other\n");
    WriteFile("data/empty", "");
    WriteFile("data/old/x.txt", "x");
    WriteFile("data/new/y.log", "yy");
    WriteFile("data/new/deeper/z.log", "zzz");
    WriteFile("log/app.log",
              "start\ninfo ok\nERROR disk full\nwarning: low memory\r\n\r\nerror again debug\n"
              "errors counted\nFATAL: panic\nunfinished");
    WriteFile("log/app2.log", "one\ntwo ERROR\n");
    // Fixed ages for the newest- and oldest-folder macros.
    const std::pair<const char*, time_t> ages[] = {{"data", 1000000000},
                                                   {"log", 2000000000},
                                                   {"data/old", 1100000000},
                                                   {"data/new", 1200000000}};
    for (const auto& [sub, age] : ages) {
        struct timespec times[2] = {{age, 0}, {age, 0}};
        if (utimensat(AT_FDCWD, (folder + "/" + sub).c_str(), times, 0) != 0) abort();
    }
}

// False for an input that could name a path outside the scratch folder.
bool StaysInFolder(const std::string& text) {
    if (text.find("..") != std::string::npos) return false;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        size_t first = line.find_first_not_of(" \t");
        bool named = first != std::string::npos && line.compare(first, 2, "$D") == 0;
        if (line.find('/') != std::string::npos && !named) return false;
        start = end + 1;
    }
    return true;
}

// The input with every "$D" replaced by the scratch folder's path.
std::string WithFolder(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    for (size_t at = 0; (at = text.find("$D", at)) != std::string::npos; at += folder.size())
        text.replace(at, 2, folder);
    return text;
}

// The configuration every input starts from, in the file and in force.
void Restore() {
    if (pwrite(configFile, configText.data(), configText.size(), 0) !=
            static_cast<ssize_t>(configText.size()) ||
        ftruncate(configFile, static_cast<off_t>(configText.size())) != 0)
        abort();
    PublishSettings(baseline);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Twofish_initialise();
    folder = MakeScratchFolder("qdxdispatch");
    MakeFixture();
    if (chdir(folder.c_str()) != 0) abort();

    std::string agent = folder + "/qdx";
    if (close(open(agent.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0700)) != 0) abort();
    configText = "qdxpath=" + agent + "\nport=4000\npassword=fuzz\ntmpdir=" + folder +
                 "\nlogfails=0\nlogsuccess=0\nallowmanage=1\nmanageaddr=127.0.0.1\n"
                 "allowupdates=1\nupdateaddr=127.0.0.1\nprocess=0\ncpuusage=0\nexternal=0\n"
                 "shellscript=0\ntcp=0\nudp=0\nexecuteaction=0\ntcpudpaction=0\nsyslogaction=0\n";
    std::string path = folder + "/qdx.cfg";
    configFile = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (configFile < 0 || path.size() >= sizeof baseline.cfgfile) abort();
    std::strcpy(baseline.cfgfile, path.c_str());
    Restore();
    String message;
    if (!LoadOptions_(baseline, message)) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    Restore();
    if (!StaysInFolder(std::string(reinterpret_cast<const char*>(data), size))) return 0;
    ZPRequest request;
    std::string text = WithFolder(data, size);
    request = String(text.data(), static_cast<int>(text.size()));
    QDXReply reply;
    reply.InitPacket(nullptr, "fuzz-session-key");
    ThreadParams peer{-1, in_addr{htonl(INADDR_LOOPBACK)}};
    UpgradeRec upgrade;
    ProcessZPRequest(request, reply, QDXFlags, peer, upgrade);
    reply.FinalizePacket();
    if (reply.Text().Length() < 5) __builtin_trap();  // a reply is never empty
    return 0;
}
