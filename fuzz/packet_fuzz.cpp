// Request packets from the network: framing, password check, decryption and parameter access
// must refuse or accept any byte sequence without reading outside it.
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
    if (size > (1u << 20)) return 0;
    ZPRequest request;
    request.Append(reinterpret_cast<const char*>(data), static_cast<int>(size));
    if (!request.WholePacket()) return 0;
    // A configured password exercises the digest comparison; packets with an empty password field
    // pass the check for an empty password, so the fuzzer reaches the decryption and the
    // parameter readers without having to guess a digest.
    ZPRequest withPassword = request;
    if (withPassword.ParseInitRequest("secret", in_addr{}))
        request = withPassword;
    else if (!request.ParseInitRequest(String(), in_addr{}))
        return 0;
    int count = request.GetParamsCount();
    for (int i = 0; i <= count + 1; i++) {
        String param = request.GetParam(i, i & 1);
        param.SetZero();
        (void)request.GetNamedParam(param.Data());
    }
    (void)request.GetNamedParam("name");

    // What the session does next. The settings stay at their constructed values (every switch
    // off, no configuration file), so no handler touches the host.
    QDXReply reply;
    reply.InitPacket(nullptr, request.GetSessionKey());
    UpgradeRec upgrade;
    ProcessZPRequest(request, reply, QDXFlags, ThreadParams{-1, in_addr{}}, upgrade);
    reply.FinalizePacket();
    return 0;
}
