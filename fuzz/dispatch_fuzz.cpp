// Decrypted request texts: the dispatcher and every handler it reaches must answer any text
// with a well-formed reply. The settings stay at their constructed values (every switch off, no
// configuration file, no logs), so no handler touches the host.
#include <cstddef>
#include <cstdint>

#include "agent/dispatch.h"
#include "foundation/twofish.h"
#include "protocol/reply.h"
#include "protocol/request.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Twofish_initialise();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    ZPRequest request;
    request = String(reinterpret_cast<const char*>(data), static_cast<int>(size));
    QDXReply reply;
    reply.InitPacket(nullptr, "fuzz-session-key");
    UpgradeRec upgrade;
    ProcessZPRequest(request, reply, QDXFlags, ThreadParams{-1, in_addr{}}, upgrade);
    reply.FinalizePacket();
    if (reply.Text().Length() < 5) __builtin_trap();  // a reply is never empty
    return 0;
}
