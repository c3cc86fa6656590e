// Decrypted request texts: the dispatcher and every handler it reaches must answer any text
// with a well-formed reply. The peer (127.0.0.1) may manage the agent and the switches are on, so
// GetSettings, SetSettings and ReloadCfg run for real, against a configuration file in a scratch
// folder that every input starts from afresh. Switches whose handlers run programs or reach other
// hosts (process, CPU usage, external program, shell script, TCP, UDP and the three actions) stay
// off: fuzzed command lines and addresses must never leave the fuzzer. No log is written.
#include <arpa/inet.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "agent/dispatch.h"
#include "config/options.h"
#include "config/settings.h"
#include "foundation/twofish.h"
#include "protocol/reply.h"
#include "protocol/request.h"
#include "scratch_folder.h"

namespace {

std::string configText;
int configFile = -1;
TQDXSettings baseline;

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
    std::string folder = MakeScratchFolder("qdxdispatch");

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
    ZPRequest request;
    request = String(reinterpret_cast<const char*>(data), static_cast<int>(size));
    QDXReply reply;
    reply.InitPacket(nullptr, "fuzz-session-key");
    ThreadParams peer{-1, in_addr{htonl(INADDR_LOOPBACK)}};
    UpgradeRec upgrade;
    ProcessZPRequest(request, reply, QDXFlags, peer, upgrade);
    reply.FinalizePacket();
    if (reply.Text().Length() < 5) __builtin_trap();  // a reply is never empty
    return 0;
}
