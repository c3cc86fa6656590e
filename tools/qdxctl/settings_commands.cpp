// "settings" and "set": reading the settings, and changing them so that what was asked is what
// holds. Every NAME=VALUE is checked before anything is sent; "--dry-run" reads the settings and
// shows the changes; after a change the settings are read back (with the new password and at the
// new port when the change moved them) and every setting that does not hold is named.
#include <chrono>
#include <cstdio>
#include <thread>

#include "client/settings_change.h"
#include "commands.h"
#include "hosts.h"
#include "output.h"
#include "terminal_text.h"

namespace {

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

// How long a read-back at a new port keeps trying: the agent moves its listener within about a
// second.
constexpr auto kPortMoveWait = std::chrono::seconds(5);
constexpr auto kRetryPause = std::chrono::milliseconds(200);

enum class Held { Yes, No, NotVerified };

struct Verdict {
    const SettingChange* change;
    Held held;
    std::string reads;  // what GetSettings reports
    std::string why;    // for NotVerified
};

struct Report {
    std::string code;  // of SetSettings (or GetSettings for a dry run)
    int status = kExitOk;
    std::string problem;  // no reply, a refusal: the whole report
    std::vector<Verdict> verdicts;
};

Request Plain(const char* command) {
    Request request;
    request.command = command;
    return request;
}

bool Secret(const std::string& name, bool showPassword) {
    return name == "Password" && !showPassword;
}

std::string Shown(const std::string& name, const std::string& value, bool showPassword) {
    if (Secret(name, showPassword)) return kMaskedPassword;
    std::string text = value;
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.replace(at, 2, ",");
    return "\"" + TerminalText(text) + "\"";
}

std::vector<std::string> WireLines(const std::vector<SettingChange>& changes) {
    std::vector<std::string> lines;
    for (const SettingChange& change : changes) lines.push_back(change.wire);
    return lines;
}

// The endpoint the read-back needs: the new password and port, when the change sets them. Port
// moves the plain port only: over TLS the read-back stays on the TLS port.
void AfterChange(const std::vector<SettingChange>& changes, bool tls, std::string& password,
                 int& port) {
    for (const SettingChange& change : changes) {
        if (change.name == "Password") password = change.stored;
        if (change.name == "Port" && !tls) port = std::stoi(change.stored);
    }
}

bool ChangesAnyAccess(const std::vector<SettingChange>& changes) {
    for (const SettingChange& change : changes)
        if (ChangesAccess(change)) return true;
    return false;
}

// Compares the read-back with what was sent.
Report Compare(const std::vector<SettingChange>& changes, const QdxReplyText& readBack,
               bool accessChanged, const std::string& where) {
    Report report;
    report.code = "200";
    bool read = readBack.status == CallStatus::Ok && readBack.Code() == "200";
    std::string failure =
        read ? ""
        : readBack.status != CallStatus::Ok
            ? "the read-back got no reply from " + where + ": " + readBack.error
            : "the read-back got " + readBack.Code();
    for (const SettingChange& change : changes) {
        Verdict verdict{&change, Held::NotVerified, "", ""};
        std::string value;
        if (!read) {
            verdict.why = failure + (accessChanged ? " (the change moved the access the "
                                                     "read-back needs)"
                                                   : "");
        } else if (!ReportedSetting(readBack, change.name, value)) {
            verdict.why = "GetSettings does not report it";
        } else {
            verdict.reads = value;
            verdict.held = value == change.stored ? Held::Yes : Held::No;
        }
        if (verdict.held == Held::No) report.status = kExitNotOk;
        report.verdicts.push_back(verdict);
    }
    if (!read && !accessChanged)
        report.status = readBack.status != CallStatus::Ok ? kExitNoReply : kExitNotOk;
    return report;
}

// GetSettings after a change, with the new password and at the new port; a moved port is tried
// again for a few seconds while the agent moves its listener.
QdxReplyText ReadBack(const std::vector<SettingChange>& changes, QdxEndpoint endpoint) {
    int port = endpoint.port;
    AfterChange(changes, endpoint.tls != nullptr, endpoint.password, port);
    bool moved = port != endpoint.port;
    endpoint.port = port;
    auto until = Clock::now() + kPortMoveWait;
    for (;;) {
        QdxReplyText reply = QdxCall(endpoint, "GetSettings");
        if (!moved || reply.status == CallStatus::Ok || Clock::now() >= until) return reply;
        std::this_thread::sleep_for(kRetryPause);
    }
}

Report SetOne(const std::vector<SettingChange>& changes, const QdxEndpoint& endpoint) {
    QdxReplyText reply = QdxCall(endpoint, "SetSettings", WireLines(changes));
    if (reply.status != CallStatus::Ok || reply.Code() != "200") {
        Report report;
        report.code = reply.Code();
        report.status = ExitFor(reply);
        report.problem = reply.status != CallStatus::Ok ? NoReplyMessage(endpoint, reply)
                                                        : ReplyLine(Plain("SetSettings"), reply);
        return report;
    }
    std::string password = endpoint.password;
    int port = endpoint.port;
    AfterChange(changes, endpoint.tls != nullptr, password, port);
    return Compare(changes, ReadBack(changes, endpoint), ChangesAnyAccess(changes),
                   endpoint.host + ":" + std::to_string(port));
}

// The changes a dry run shows: "name: old -> new" for each setting that would change.
Report DryRun(const std::vector<SettingChange>& changes, const QdxReplyText& current,
              const QdxEndpoint& endpoint) {
    Report report;
    if (current.status != CallStatus::Ok || current.Code() != "200") {
        report.code = current.Code();
        report.status = ExitFor(current);
        report.problem = current.status != CallStatus::Ok ? NoReplyMessage(endpoint, current)
                                                          : ReplyLine(Plain("GetSettings"), current);
        return report;
    }
    report.code = "200";
    for (const SettingChange& change : changes) {
        Verdict verdict{&change, Held::No, "", ""};
        if (!ReportedSetting(current, change.name, verdict.reads))
            verdict.held = Held::NotVerified;
        else if (verdict.reads == change.stored)
            verdict.held = Held::Yes;  // already so: no change
        report.verdicts.push_back(verdict);
    }
    return report;
}

std::string VerdictText(const Verdict& verdict, bool dryRun, bool showPassword) {
    const SettingChange& change = *verdict.change;
    std::string sent = Shown(change.name, change.stored, showPassword);
    std::string reads = Shown(change.name, verdict.reads, showPassword);
    if (dryRun) {
        if (verdict.held == Held::Yes) return change.name + ": " + sent + " (unchanged)";
        if (verdict.held == Held::NotVerified)
            return change.name + ": (not reported by GetSettings) -> " + sent;
        return change.name + ": " + reads + " -> " + sent;
    }
    switch (verdict.held) {
        case Held::Yes: return change.name + ": holds " + sent;
        case Held::No: return change.name + ": DOES NOT HOLD: sent " + sent + ", reads " + reads;
        case Held::NotVerified: return change.name + ": not verified: " + verdict.why;
    }
    return "";
}

json ReportJson(const Report& report, const std::string& host, int port, bool dryRun,
                bool showPassword) {
    json object = {{"host", host}, {"port", port},
                   {"command", dryRun ? "set --dry-run" : "SetSettings"}};
    object["code"] = report.code.empty() ? json(nullptr) : json(report.code);
    if (!report.problem.empty()) object["problem"] = report.problem;
    json settings = json::array();
    for (const Verdict& verdict : report.verdicts) {
        const SettingChange& change = *verdict.change;
        bool secret = Secret(change.name, showPassword);
        const char* held = verdict.held == Held::Yes  ? (dryRun ? "unchanged" : "holds")
                           : verdict.held == Held::No ? (dryRun ? "changes" : "differs")
                                                      : "not_verified";
        settings.push_back({{"name", change.name},
                            {"sent", secret ? kMaskedPassword : change.stored},
                            {"reads", secret ? kMaskedPassword : verdict.reads},
                            {"result", held},
                            {"reason", verdict.why}});
    }
    object["settings"] = settings;
    return object;
}

void PrintReport(const Report& report, const Options& options, const std::string& label,
                 const QdxEndpoint& endpoint) {
    bool hosts = !label.empty();
    if (options.output == OutputForm::Json) {
        std::printf("%s\n", JsonText(ReportJson(report, endpoint.host, endpoint.port,
                                                options.dryRun, options.showPassword))
                                .c_str());
        return;
    }
    if (!report.problem.empty()) {
        if (hosts)
            std::printf("%s %s\n", label.c_str(), TerminalText(report.problem).c_str());
        else
            std::fprintf(report.status == kExitNoReply ? stderr : stdout, "%s%s\n",
                         report.status == kExitNoReply ? "qdxctl: " : "",
                         TerminalText(report.problem).c_str());
        return;
    }
    if (hosts) {
        std::string line = label + " " + report.code;
        for (const Verdict& verdict : report.verdicts)
            line += "; " + VerdictText(verdict, options.dryRun, options.showPassword);
        std::printf("%s\n", line.c_str());
        return;
    }
    std::printf("%s\n", report.code.c_str());
    for (const Verdict& verdict : report.verdicts)
        std::printf("%s\n", VerdictText(verdict, options.dryRun, options.showPassword).c_str());
}

// --hosts: the same change (or dry run) on every host, the read-backs at once afterwards.
int SetHosts(const Options& options, const std::vector<SettingChange>& changes) {
    std::vector<HostLine> hosts = LoadHostList(options);
    const std::string& password = options.endpoint.password;
    std::vector<QdxReplyText> first =
        options.dryRun ? CallHosts(options, hosts, "GetSettings", {}, password, 0)
                       : CallHosts(options, hosts, "SetSettings", WireLines(changes), password, 0);
    std::vector<QdxReplyText> readBack;
    if (!options.dryRun) {
        std::vector<bool> changed(hosts.size());
        for (size_t i = 0; i < hosts.size(); i++)
            changed[i] = first[i].status == CallStatus::Ok && first[i].Code() == "200";
        std::string newPassword = password;
        int newPort = 0;
        AfterChange(changes, options.endpoint.tls != nullptr, newPassword, newPort);
        if (newPort != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        readBack = CallHosts(options, hosts, "GetSettings", {}, newPassword, newPort, changed);
    }
    int worst = kExitOk;
    for (size_t i = 0; i < hosts.size(); i++) {
        const HostLine& host = hosts[i];
        QdxEndpoint endpoint = HostEndpoint(options, host);
        if (host.duplicateOf != 0) {
            std::printf("%s skipped: duplicate of line %d\n", HostLabel(host).c_str(),
                        host.duplicateOf);
            continue;
        }
        Report report;
        if (options.dryRun) {
            report = DryRun(changes, first[i], endpoint);
        } else if (first[i].status != CallStatus::Ok || first[i].Code() != "200") {
            report.code = first[i].Code();
            report.status = ExitFor(first[i]);
            report.problem = ReplyLine(Plain("SetSettings"), first[i]);
        } else {
            report = Compare(changes, readBack[i], ChangesAnyAccess(changes), HostLabel(host));
        }
        worst = std::max(worst, report.status);
        PrintReport(report, options, HostLabel(host), endpoint);
    }
    return worst;
}

}  // namespace

int RunSettingsCommand(Options& options) {
    if (!options.words.empty()) Fail("settings takes no parameters");
    options.words = {"GetSettings"};
    return RunAgentCommand(options);
}

int RunSetCommand(Options& options) {
    std::vector<SettingChange> changes;
    std::string error;
    if (!ParseSettingWords(options.words, changes, error)) CommandUsage("SetSettings", error);
    NeedAgent(options);
    if (!options.hostsFile.empty()) return SetHosts(options, changes);
    Report report = options.dryRun
                        ? DryRun(changes, QdxCall(options.endpoint, "GetSettings"),
                                 options.endpoint)
                        : SetOne(changes, options.endpoint);
    PrintReport(report, options, "", options.endpoint);
    return report.status;
}
