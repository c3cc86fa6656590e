// Parameter lines of the network tests and actions, as the dispatcher hands them over. Every
// reader must either refuse or give values within their documented ranges; none touches the
// network.
#include <cstddef>
#include <cstdint>

#include "handlers/network_params.h"
#include "protocol/request.h"

namespace {

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

bool ValidPort(int port) {
    return port >= 0 && port <= 65535;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    ZPRequest request;
    request = String(reinterpret_cast<const char*>(data), static_cast<int>(size));

    TcpTestParams tcp;
    if (ReadTcpTestParams(request, tcp) == nullptr) {
        Require(ValidPort(tcp.port) && tcp.timeoutMs != 0);
        Require(tcp.receiveCount >= 0 && tcp.receiveCount <= kReceiveLimit);
    }
    UdpTestParams udp;
    if (ReadUdpTestParams(request, udp) == nullptr) {
        Require(ValidPort(udp.port) && udp.timeoutSeconds != 0 && udp.attempts > 0);
        Require(udp.data.Length() > 0);
        Require(udp.receiveCount >= 0 && udp.receiveCount <= kReceiveLimit);
    }
    ExternalCmdParams command;
    if (ReadExternalCmdParams(request, command) == nullptr)
        Require(command.commandLine.Length() > 0);
    SyslogParams syslog;
    if (ReadSyslogParams(request, syslog) == nullptr)
        Require(ValidPort(syslog.port) && syslog.server.Length() > 0 && syslog.severity >= 0 &&
                syslog.severity <= 7);
    TcpSendParams send;
    if (ReadTcpSendParams(request, send) == nullptr)
        Require(ValidPort(send.port) && send.host.Length() > 0 && send.first.Length() > 0);
    return 0;
}
