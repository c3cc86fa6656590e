#include "handlers/network_params.h"

#include <algorithm>

#include "handlers/path_param.h"
#include "net/wait_budget.h"
#include "protocol/decoders.h"

const char kWrongParameter[] = "Wrong parameter";
const char kNoCommandLine[] = "Command line to execute is not specified";
const char kTestNotAllowed[] = "test is not allowed";
const char kOperationNotAllowed[] = "operation is not allowed";

namespace {

// Reads parameters by position and remembers whether every int and port was valid.
class ParamReader {
public:
    explicit ParamReader(const ZPRequest& request) : request_(request) {}

    String Text(int index) const { return request_.GetParam(index, 1); }

    // The line after the last LF is not a parameter line: it holds the CR end mark, which is
    // dropped there so that it never travels as data.
    String Data(int index) const {
        String line = request_.GetParam(index, 0);
        if (index > request_.GetParamsCount() && line.Length() > 0 && line[line.Length()] == '\r')
            line.SetLength(line.Length() - 1);
        return qdxDecodeStrings(line);
    }

    int Int(int index) {
        int value = 0;
        if (!qdxDecodeInt(request_.GetParam(index, 1), value)) valid_ = false;
        return value;
    }

    int Port(int index) {
        int value = Int(index);
        if (value < 0 || value > 65535) valid_ = false;
        return value;
    }

    // A count of bytes to receive: 0 for none, and no more than the buffer, a negative count
    // being taken as a huge unsigned one.
    int ReceiveCount(int index) {
        unsigned count = static_cast<unsigned>(Int(index));
        return count > static_cast<unsigned>(kReceiveLimit) ? kReceiveLimit
                                                            : static_cast<int>(count);
    }

    bool Valid() const { return valid_; }

private:
    const ZPRequest& request_;
    bool valid_ = true;
};

}  // namespace

const char* ReadTcpTestParams(const ZPRequest& request, TcpTestParams& params) {
    ParamReader reader(request);
    params.host = reader.Text(1);
    params.port = reader.Port(2);
    params.timeoutMs = reader.Int(3);
    params.data = reader.Data(4);
    params.receiveCount = reader.ReceiveCount(5);
    if (!reader.Valid()) return kWrongParameter;
    if (params.timeoutMs == 0) params.timeoutMs = kTcpDefaultTimeoutMs;
    return nullptr;
}

const char* ReadUdpTestParams(const ZPRequest& request, UdpTestParams& params) {
    ParamReader reader(request);
    params.host = reader.Text(1);
    params.port = reader.Port(2);
    int timeoutMs = reader.Int(3);
    params.attempts = reader.Int(4);
    params.data = reader.Data(5);
    params.receiveCount = reader.ReceiveCount(6);
    if (!reader.Valid() || params.attempts <= 0 || params.data.Length() == 0)
        return kWrongParameter;
    // Every attempt waits at least a second: a negative time-out must not turn many attempts
    // into a burst of datagrams.
    params.timeoutSeconds = timeoutMs / 1000;
    if (params.timeoutSeconds <= 0) params.timeoutSeconds = 1;
    return nullptr;
}

const char* ReadExternalCmdParams(const ZPRequest& request, ExternalCmdParams& params) {
    ParamReader reader(request);
    params.commandLine = GetPathParam(request, 1);
    params.folder = GetPathParam(request, 2);
    reader.Int(3);  // checked, not used
    params.timeoutMs = reader.Int(4);
    if (!reader.Valid()) return kWrongParameter;
    if (params.commandLine.Length() == 0) return kNoCommandLine;
    return nullptr;
}

const char* ReadSyslogParams(const ZPRequest& request, SyslogParams& params) {
    ParamReader reader(request);
    params.server = reader.Text(1);
    params.port = reader.Port(2);
    params.facility = reader.Int(3);
    params.severity = reader.Int(4);
    params.message = reader.Data(5);
    if (!reader.Valid() || params.server.Length() == 0 || params.severity < 0 ||
        params.severity > 7)
        return kWrongParameter;
    return nullptr;
}

const char* ReadTcpSendParams(const ZPRequest& request, TcpSendParams& params) {
    ParamReader reader(request);
    params.host = reader.Text(1);
    params.port = reader.Port(2);
    params.tcp = reader.Text(3) == "0";
    params.first = reader.Data(4);
    params.delaySeconds = std::min(reader.Int(5), kMaxNetworkWaitSeconds);
    params.second = reader.Data(6);
    if (!reader.Valid() || params.host.Length() == 0 || params.first.Length() == 0)
        return kWrongParameter;
    return nullptr;
}
