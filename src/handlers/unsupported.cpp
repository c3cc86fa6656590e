#include "handlers/unsupported.h"

namespace {

const char kNotImplemented[] = "not implemented yet";
const char kNotApplicable[] = "Not applicable for UNIX/Linux";

void Refuse(QDXReply& reply, const char* reason) {
    reply.SetResult("500") += reason;
}

}  // namespace

void ProcessTest_Ping(const ZPRequest&, QDXReply& reply) {
    Refuse(reply, kNotImplemented);
}
void ProcessTest_Script(const ZPRequest&, QDXReply& reply) {
    Refuse(reply, kNotImplemented);
}
void ProcessTest_SNMP(const ZPRequest&, QDXReply& reply) {
    Refuse(reply, kNotImplemented);
}
void ProcessInfo_GetDriveList(const ZPRequest&, QDXReply& reply) {
    Refuse(reply, kNotImplemented);
}
void ProcessTest_DiskSpace(const ZPRequest&, QDXReply& reply) {
    Refuse(reply, kNotApplicable);
}
void ProcessTest_Service(const ZPRequest&, QDXReply& reply) {
    Refuse(reply, kNotApplicable);
}
void ProcessTest_NTLog(const ZPRequest&, QDXReply& reply) {
    Refuse(reply, kNotApplicable);
}
void ProcessTest_Perf(const ZPRequest&, QDXReply& reply) {
    Refuse(reply, kNotApplicable);
}
void ProcessInfo_ServicesList(const ZPRequest&, QDXReply& reply) {
    Refuse(reply, kNotApplicable);
}
void ProcessInfo_EventLogFiles(const ZPRequest&, QDXReply& reply) {
    Refuse(reply, kNotApplicable);
}
void ProcessInfo_EventLogSources(const ZPRequest&, QDXReply& reply) {
    Refuse(reply, kNotApplicable);
}
