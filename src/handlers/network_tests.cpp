#include "handlers/network_tests.h"

#include <ctime>

#include "handlers/network_params.h"
#include "net/exchange.h"
#include "net/wait_budget.h"

namespace {

// A reading of the monotonic clock in whole seconds and microseconds.
struct Stamp {
    long long seconds;
    long long microseconds;
};

Stamp Now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return {static_cast<long long>(now.tv_sec), static_cast<long long>(now.tv_nsec / 1000)};
}

// Seconds apart times 1000, plus microseconds apart divided by 1000 (truncated toward zero).
int ElapsedMs(const Stamp& start, const Stamp& end) {
    return static_cast<int>((end.seconds - start.seconds) * 1000 +
                            (end.microseconds - start.microseconds) / 1000);
}

// The reply of both tests. buffer holds what was received when receiveCount > 0.
void ReportExchange(QDXReply& reply, int result, int elapsedMs, String& buffer, int receiveCount,
                    const String& error) {
    if (result <= 0) {
        reply.SetResult("301");
        reply.AddStringParam(error, 0);
        reply.AddIntParam(result);
        return;
    }
    reply.SetResult("200");
    reply.AddIntParam(elapsedMs);
    buffer.SetLength(receiveCount > 0 ? result : 0);
    reply.AddStringParam(buffer, 1);
}

}  // namespace

void ProcessTest_TCP(const ZPRequest& request, QDXReply& reply) {
    TcpTestParams params;
    if (!AdmitRequest(&TQDXSettings::tcp, kTestNotAllowed, ReadTcpTestParams, request, reply,
                      params))
        return;
    NetworkWaitBudget budget;
    String buffer;
    buffer.SetLength(kReceiveLimit);
    String error;
    Stamp start = Now();
    int result = SendReceiveTCPPacket(params.host.SetZero().Data(), params.port, params.timeoutMs,
                                      params.data.Data(), buffer.Data(), params.data.Length(),
                                      params.receiveCount, error);
    Stamp end = Now();
    ReportExchange(reply, result, ElapsedMs(start, end), buffer, params.receiveCount, error);
}

void ProcessTest_UDP(const ZPRequest& request, QDXReply& reply) {
    UdpTestParams params;
    if (!AdmitRequest(&TQDXSettings::udp, kTestNotAllowed, ReadUdpTestParams, request, reply,
                      params))
        return;
    NetworkWaitBudget budget;  // the attempts together
    String buffer;
    buffer.SetLength(kReceiveLimit);
    String error;
    int result = 0;
    int elapsedMs = 0;
    const char* host = params.host.SetZero().Data();
    for (int left = params.attempts; left > 0 && !NetworkBudgetSpent(); left--) {
        Stamp start = Now();
        result =
            SendReceiveUDPPacket(host, params.port, params.timeoutSeconds, params.data.Data(),
                                 buffer.Data(), params.data.Length(), params.receiveCount, error);
        Stamp end = Now();
        elapsedMs = ElapsedMs(start, end);
        if (result > 0) break;
    }
    ReportExchange(reply, result, elapsedMs, buffer, params.receiveCount, error);
}
