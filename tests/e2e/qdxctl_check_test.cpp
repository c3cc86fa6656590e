// qdxctl check as a monitoring plugin against the real agent (and a fake one for replies the
// agent never sends): text-log checks that lose no line, expressions refused before they are
// sent, programs and the Debian monitoring plugins as plugins, TEST-UNC's derived percentages,
// unreachable agents, JSON, and every error UNKNOWN.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "../as_nobody.h"
#include "fake_agent.h"
#include "harness.h"

namespace {

using nlohmann::json;

// The agent answers one match per request, at a few hundred requests a second here; 10,000 lines
// took one 18 s call on the development machine, measured by hand.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kManyLines = 400;
#else
constexpr int kManyLines = 2500;
#endif

const std::string kPlugins = "/usr/lib/nagios/plugins/";

class QdxctlCheck : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile(dir.File("cpu.sh"), "#!/bin/sh\necho nan\n");
        chmod(dir.File("cpu.sh").c_str(), 0755);
        ASSERT_TRUE(agent.Start());
    }
    RunResult Check(std::vector<std::string> args, int port = 0, int timeoutMs = 5000) {
        args.insert(args.begin(), {"-p", std::to_string(port ? port : agent.port()), "-t",
                                   std::to_string(timeoutMs), "check"});
        return RunProgram(QDXCTL_BINARY, args, 120, {"QDX_PASSWORD=" + Agent::Password()});
    }
    RunResult Direct(const std::vector<std::string>& words) {
        return RunProgram((kPlugins + words[0]).c_str(),
                          std::vector<std::string>(words.begin() + 1, words.end()));
    }
    TempDir dir;
    Agent agent{dir, "textlog=1\ndelayforscripts=0\ncpuusagescript=" + dir.File("cpu.sh") + "\n"};
};

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

// Expressions the agent would take as matching nothing are refused before anything is sent; the
// state stays, so the line is found once the expression is right.
TEST_F(QdxctlCheck, ExpressionsAreCheckedBeforeTheyAreSent) {
    std::string log = dir.File("app.log"), state = dir.File("app.state");
    WriteFile(log, "start\n");
    auto check = [&](const std::string& expression) {
        return Check({"--state", state, "TEST-TextLog", log, expression, "--is_expression", "1"});
    };
    ASSERT_EQ(check("'error'").exitCode, 0);
    WriteFile(log, ReadFile(log) + "an error here\n");
    std::string before = ReadFile(state);
    for (const char* wrong : {"'error' and", "error", "('error'", "'a' 'b'", ""}) {
        RunResult run = check(wrong);
        EXPECT_EQ(run.exitCode, 3) << wrong << ": " << run.out;
        EXPECT_NE(run.out.find("QDX UNKNOWN - TEST-TextLog: expression is no expression"),
                  std::string::npos)
            << run.out;
        EXPECT_EQ(ReadFile(state), before) << wrong;
    }
    RunResult plain = RunProgram(QDXCTL_BINARY,
                                 {"-p", std::to_string(agent.port()), "TEST-TextLog", log, "error",
                                  "0", "0", "0", "1"},
                                 20, {"QDX_PASSWORD=" + Agent::Password()});
    EXPECT_EQ(plain.exitCode, 64);
    // "or" is an operator wherever it begins, also inside a word.
    EXPECT_NE(plain.err.find("expression is no expression: Unknown operator: \"err\""),
              std::string::npos)
        << plain.err;
    RunResult found = check("'error'");
    EXPECT_EQ(found.exitCode, 2) << found.out;
    EXPECT_NE(found.out.find("1 new matching line: \"an error here\""), std::string::npos);
}

// Every new line is counted, however many: one call within its time-out, or several calls that
// go on where the last stopped, none lost and none twice.
TEST_F(QdxctlCheck, TextLogCountsEveryNewLine) {
    std::string log = dir.File("busy.log"), state = dir.File("busy.state");
    WriteFile(log, "start\n");
    std::vector<std::string> args = {"--state", state, "-c", "200", "TEST-TextLog", log, "error"};
    ASSERT_EQ(Check(args).exitCode, 0);
    auto append = [&](int count) {
        std::string lines;
        for (int i = 0; i < count; i++) lines += "error " + std::to_string(i) + "\n";
        WriteFile(log, ReadFile(log) + lines);
    };
    append(kManyLines);
    RunResult all = Check(args, 0, 120000);
    EXPECT_EQ(all.exitCode, 2) << all.out;
    EXPECT_NE(all.out.find("CRITICAL - " + std::to_string(kManyLines) +
                           " new matching lines, first: \"error 0\", last: \"error " +
                           std::to_string(kManyLines - 1) + "\""),
              std::string::npos)
        << all.out;

    // A short time-out: "at least" this many, and the rest on the next calls.
    const int batch = kManyLines / 4;
    append(batch);
    long long total = 0;
    bool partial = false;
    for (int call = 0; call < 300 && total < batch; call++) {
        RunResult part = Check(args, 0, 60);
        size_t at = part.out.find(" | matches=");
        if (at == std::string::npos) {  // not even the first exchange within the time-out
            EXPECT_NE(part.out.find("UNKNOWN - no reply from"), std::string::npos) << part.out;
            continue;
        }
        total += std::stoll(part.out.substr(at + 11));
        if (part.out.find("at least ") != std::string::npos) {
            partial = true;
            EXPECT_NE(part.out.find("the next check goes on from there"), std::string::npos);
        }
    }
    EXPECT_TRUE(partial);
    EXPECT_EQ(total, batch);
    EXPECT_NE(Check(args).out.find("OK - no new matching line"), std::string::npos);
}

// A state file holds only a state: another file is never replaced, another user's never taken.
TEST_F(QdxctlCheck, StateFileReplacesOnlyAStateFile) {
    std::string log = dir.File("app.log"), state = dir.File("passwd");
    WriteFile(log, "start\n");
    std::string passwd = ReadFile("/etc/passwd");
    WriteFile(state, passwd);
    RunResult run = Check({"--state", state, "TEST-TextLog", log, "error"});
    EXPECT_EQ(run.exitCode, 3) << run.out;
    EXPECT_NE(run.out.find("is not a text-log state file"), std::string::npos) << run.out;
    EXPECT_EQ(ReadFile(state), passwd);

    std::string link = dir.File("link.state");
    symlink(state.c_str(), link.c_str());
    EXPECT_NE(Check({"--state", link, "TEST-TextLog", log, "error"}).out.find("symbolic link"),
              std::string::npos);

    // A state file of another user: refused when qdxctl runs as nobody.
    std::string own = dir.File("own.state");
    ASSERT_EQ(Check({"--state", own, "TEST-TextLog", log, "error"}).exitCode, 0);
    chmod(dir.path().c_str(), 01777);
    chmod(own.c_str(), 0644);
    unlink((own + ".lock").c_str());
    std::string before = ReadFile(own);
    int port = agent.port();
    int status = testing_support::RunAsNobody([&] {
        RunResult nobody = RunProgram(
            QDXCTL_BINARY,
            {"-p", std::to_string(port), "check", "--state", own, "TEST-TextLog", log, "error"}, 20,
            {"QDX_PASSWORD=" + Agent::Password()});
        return nobody.out.find("belongs to another user") != std::string::npos ? nobody.exitCode
                                                                             : 50;
    });
    EXPECT_EQ(status, 3);
    EXPECT_EQ(ReadFile(own), before);
}

// Programs and scripts as plugins: the real Debian plugins through the agent give the exit code
// and text they give when run directly.
TEST_F(QdxctlCheck, ProgramsAndScriptsAsPlugins) {
    for (int code = 0; code <= 3; code++) {
        std::vector<std::string> dummy = {"check_dummy", std::to_string(code), "text"};
        RunResult direct = Direct(dummy);
        ASSERT_EQ(direct.exitCode, code) << "no " << kPlugins << "check_dummy?";
        RunResult script = Check({"TEST-ShellScript", "--script",
                                  kPlugins + Joined(dummy) + "; echo scriptres:$?"});
        EXPECT_EQ(script.exitCode, code);
        EXPECT_EQ(script.out, direct.out);
        RunResult program = Check({"TEST-ExternalPrg", kPlugins + Joined(dummy)});
        EXPECT_EQ(program.exitCode, code);
        EXPECT_EQ(program.out.rfind("QDX TEST-ExternalPrg ", 0), 0u) << program.out;
    }
    for (std::vector<std::string> plugin :
         {std::vector<std::string>{"check_disk", "-w", "99%", "-c", "99%", "-p", "/"},
          {"check_disk", "-w", "1%", "-c", "1%", "-p", "/"},
          {"check_procs", "-w", "1:", "-c", "1:", "-C", "no-such-process-qdx"},
          {"check_procs", "-w", "0:", "-c", "0:"}}) {
        RunResult direct = Direct(plugin);
        RunResult script =
            Check({"TEST-ShellScript", "--script", kPlugins + Joined(plugin) + "; echo scriptres:$?"});
        EXPECT_EQ(script.exitCode, direct.exitCode) << Joined(plugin) << ": " << script.out;
        EXPECT_EQ(script.out.substr(0, script.out.find_first_of(":-")),
                  direct.out.substr(0, direct.out.find_first_of(":-")));
        EXPECT_EQ(Check({"TEST-ExternalPrg", kPlugins + Joined(plugin)}).exitCode, direct.exitCode);
    }
    // A scriptres: line alone, in any letter case; a word that is no state is UNKNOWN.
    EXPECT_EQ(Check({"TEST-ShellScript", "--script", "echo SCRIPTRES:Warning"}).out,
              "QDX TEST-ShellScript WARNING - SCRIPTRES:Warning\n");
    EXPECT_EQ(Check({"TEST-ShellScript", "--script", "echo scriptres:2"}).exitCode, 2);
    EXPECT_EQ(Check({"TEST-ShellScript", "--script", "echo scriptres:fine"}).exitCode, 3);
    // With thresholds, the exit code is a value like any other.
    EXPECT_EQ(Check({"-c", "5", "TEST-ExternalPrg", "/bin/false"}).exitCode, 0);
}

// TEST-UNC's percentages with df's arithmetic, thresholded in a real check.
TEST_F(QdxctlCheck, FreeSpaceAsItIsThresholded) {
    RunResult run = RunProgram(QDXCTL_BINARY,
                               {"-p", std::to_string(agent.port()), "--json", "check", "-c",
                                "20:", "--value", "available_percent", "TEST-UNC", dir.path()},
                               20, {"QDX_PASSWORD=" + Agent::Password()});
    json result = json::parse(run.out);
    const json& values = result["values"];
    double total = values["total_bytes"], free = values["free_bytes"],
           available = values["available_bytes"];
    double used = total - free;
    double percent = values["available_percent"];
    EXPECT_NEAR(percent, available * 100 / (used + available), 0.01);
    EXPECT_NEAR(values["used_percent"].get<double>(), used * 100 / (used + available), 0.01);
    EXPECT_NEAR(values["free_percent"].get<double>(), free * 100 / total, 0.01);
    EXPECT_EQ(run.exitCode, percent < 20 ? 2 : 0) << run.out;
    EXPECT_EQ(result["state"], percent < 20 ? "CRITICAL" : "OK");
    bool sawBytes = false;
    for (const json& datum : result["perfdata"]) {
        if (datum["label"] == "available_percent") {
            EXPECT_EQ(datum["crit"], "20:");
            EXPECT_EQ(datum["max"], "100");
        }
        if (datum["label"] == "available_bytes") {
            sawBytes = true;
            EXPECT_EQ(datum["unit"], "B");
            EXPECT_EQ(datum["min"], "0");
            EXPECT_EQ(json::parse(datum["max"].get<std::string>()), values["total_bytes"]);
        }
    }
    EXPECT_TRUE(sawBytes);

    // df's Use% is used_percent rounded up.
    RunResult df = RunProgram("/bin/df", {"--output=pcent", dir.path()});
    int dfPercent = std::stoi(df.out.substr(df.out.find('\n') + 1));
    EXPECT_NEAR(std::ceil(values["used_percent"].get<double>()), dfPercent, 1);

    // The main value is the available space.
    RunResult plain = Check({"-w", "1:", "TEST-UNC", dir.path()});
    EXPECT_EQ(plain.out.rfind("QDX TEST-UNC OK - available_bytes=", 0), 0u) << plain.out;
}

// Only finite decimal numbers are values.
TEST_F(QdxctlCheck, NanIsNotANumber) {
    RunResult run = Check({"-c", "@50:100", "TEST-CPU"});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.out, "QDX TEST-CPU UNKNOWN - usage_percent is not a number: \"nan\"\n");
}

TEST_F(QdxctlCheck, AnAgentThatIsDown) {
    int silent = 0;
    int listener = OccupyPort(silent);
    int closed = FreePort();
    struct Case {
        std::vector<std::string> args;
        int port;
        int exitCode;
        std::string says;
    } cases[] = {
        {{"TEST-UNC", "/"}, closed, 3, "UNKNOWN - no reply from 127.0.0.1:" + std::to_string(closed)},
        {{"--unreachable", "critical", "TEST-UNC", "/"}, closed, 2, "CRITICAL - no reply from"},
        {{"--unreachable", "warning", "TEST-UNC", "/"}, silent, 1, "no reply within the time-out"},
        {{"--critical-on-timeout", "TEST-UNC", "/"}, silent, 2, "CRITICAL"},
        {{"--critical-on-timeout", "TEST-UNC", "/"}, closed, 3, "UNKNOWN"},
        {{"--unreachable", "critical", "--password", "wrong", "TEST-UNC", "/"}, 0, 2,
         "closed the connection without a reply"},
        {{"--unreachable", "sometimes", "TEST-UNC", "/"}, 0, 3,
         "QDX UNKNOWN - --unreachable sometimes: give unknown, warning or critical"},
    };
    for (const Case& c : cases) {
        RunResult run = Check(c.args, c.port, 1000);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.args[0] << " " << run.out;
        EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
    }
    close(listener);
}

TEST_F(QdxctlCheck, JsonIsOneObject) {
    std::string data = dir.File("data");
    std::filesystem::create_directory(data);
    for (const char* name : {"a", "b", "c"}) WriteFile(data + "/" + name, "x");
    RunResult run = RunProgram(QDXCTL_BINARY,
                               {"-p", std::to_string(agent.port()), "--json", "check", "-w", "2",
                                "-c", "5", "TEST-CountFiles", data},
                               20, {"QDX_PASSWORD=" + Agent::Password()});
    EXPECT_EQ(run.exitCode, 1);
    json result = json::parse(run.out);
    EXPECT_EQ(result["state"], "WARNING");
    EXPECT_EQ(result["exit"], 1);
    EXPECT_EQ(result["status"], "QDX TEST-CountFiles WARNING - count=3");
    EXPECT_EQ(result["perfdata"],
              json::parse(R"([{"label":"count","value":3.0,"unit":"","warn":"2","crit":"5",)"
                          R"("min":"","max":""}])"));
    EXPECT_EQ(result["values"]["count"], 3);

    // With --hosts every line is an object, a skipped duplicate included, and a plugin's own
    // performance data is parsed.
    std::string list = dir.File("hosts");
    WriteFile(list, "127.0.0.1:" + std::to_string(agent.port()) + "\n127.0.0.1:" +
                        std::to_string(agent.port()) + "\n");
    RunResult hosts = RunProgram(
        QDXCTL_BINARY,
        {"--json", "--hosts", list, "check", "TEST-ShellScript", "--script",
         "echo \"OK: fine | 'load 1'=0.5;1;2;0; t=3ms\"; echo scriptres:0"},
        20, {"QDX_PASSWORD=" + Agent::Password()});
    size_t lines = 0;
    for (size_t start = 0, end; (end = hosts.out.find('\n', start)) != std::string::npos;
         start = end + 1, lines++) {
        json line = json::parse(hosts.out.substr(start, end - start));
        if (lines == 0) {
            EXPECT_EQ(line["state"], "OK");
            EXPECT_EQ(line["perfdata"][0]["label"], "load 1");
            EXPECT_EQ(line["perfdata"][0]["crit"], "2");
            EXPECT_EQ(line["perfdata"][1]["unit"], "ms");
        } else {
            EXPECT_EQ(line["skipped"], "duplicate of line 1");
        }
    }
    EXPECT_EQ(lines, 2u) << hosts.out;
}

// When "check" is on the command line, every error is one UNKNOWN line, also for options given
// before it; a reply cut short by the time-out is a time-out.
TEST_F(QdxctlCheck, EveryErrorIsUnknown) {
    std::string fifo = dir.File("fifo");
    mkfifo(fifo.c_str(), 0600);
    std::vector<std::vector<std::string>> cases = {
        {"-f", dir.File("missing"), "check", "TEST-UNC", "/"},
        {"-f", fifo, "check", "TEST-UNC", "/"},
        {"-C", dir.File("missing.cfg"), "check", "TEST-UNC", "/"},
        {"-p", "abc", "check", "TEST-UNC", "/"},
        {"-t", "-5", "check", "TEST-UNC", "/"},
        {"--bogus", "check", "TEST-UNC", "/"},
        {"check", "-w", "5"},
        {"check", "TEST-UNC", "/a", "/b"},
        {"-p", "1", "check", "--hosts", fifo, "TEST-UNC", "/"},
    };
    for (const std::vector<std::string>& args : cases) {
        RunResult run = RunProgram(QDXCTL_BINARY, args, 20, {"QDX_PASSWORD=x"});
        EXPECT_EQ(run.exitCode, 3) << Joined(args) << "\n" << run.out << run.err;
        EXPECT_EQ(run.out.rfind("QDX UNKNOWN - ", 0), 0u) << run.out;
        EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
        EXPECT_EQ(run.err, "");
    }

    FakeAgent stalling(Agent::Password(), [](const FakeAgent::Request& request,
                                            const std::atomic<bool>& stopping)
                                             -> std::optional<std::string> {
        std::string packet = FakeAgent::Packet("200\n     5", request.key);
        FakeAgent::Send(request.fd, packet.substr(0, 6), stopping);
        while (!stopping) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return std::nullopt;
    });
    RunResult cut = Check({"--critical-on-timeout", "TEST-CountFiles", "/"}, stalling.port(), 500);
    EXPECT_EQ(cut.exitCode, 2) << cut.out;
    EXPECT_NE(cut.out.find("no whole reply within the time-out (6 bytes received)"),
              std::string::npos)
        << cut.out;
}

// A reply whose state values are not numbers never reaches the state file.
TEST(QdxctlCheckFake, StateValuesMustBeNumbers) {
    TempDir dir;
    std::string state = dir.File("s.state");
    FakeAgent fake(Agent::Password(), [](const FakeAgent::Request&,
                                        const std::atomic<bool>&) -> std::optional<std::string> {
        return "200\n     0\n\n0\nabc\n   10\n12345\n   10";
    });
    WriteFile(state, "# qdxctl text-log check state\ncommand=TEST-TextLog\npath=/l\nposition=1\n"
                     "last_size=10\nlast_time=5\n");
    std::string before = ReadFile(state);
    RunResult run = RunProgram(
        QDXCTL_BINARY,
        {"-p", std::to_string(fake.port()), "check", "--state", state, "TEST-TextLog", "/l", "x"},
        20, {"QDX_PASSWORD=" + Agent::Password()});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.out.find("no valid state (match \"0\", position \"abc\""), std::string::npos)
        << run.out;
    EXPECT_EQ(ReadFile(state), before);
}

}  // namespace
