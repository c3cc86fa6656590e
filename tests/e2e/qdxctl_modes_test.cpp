// qdxctl's catalog-driven modes against real agents on loopback: help, named parameters, JSON,
// the monitoring-plugin exit codes, the text-log state file, many hosts, -C and verify-config.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "harness.h"

namespace {

using nlohmann::json;

class QdxctlModes : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(agent.Start());
        data = dir.File("data");
        std::filesystem::create_directory(data);
        for (const char* name : {"a.txt", "b.txt", "c.log"}) WriteFile(data + "/" + name, "x");
    }
    RunResult Qdxctl(std::vector<std::string> args, int port = 0) {
        args.insert(args.begin(), {"-p", std::to_string(port ? port : agent.port()), "-t", "1500"});
        return RunProgram(QDXCTL_BINARY, args, 30, {"QDX_PASSWORD=" + Agent::Password()});
    }
    TempDir dir;
    Agent agent{dir, "textlog=1\n"};
    std::string data;
};

TEST_F(QdxctlModes, HelpNeverContactsAnAgent) {
    // No port and no password: help, the manual page and the completion script need neither.
    RunResult list = RunProgram(QDXCTL_BINARY, {"help"});
    EXPECT_EQ(list.exitCode, 0);
    EXPECT_NE(list.out.find("Text-log tests\n  TEST-TextLog "), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("  TEST-Ping "), std::string::npos);

    RunResult one = RunProgram(QDXCTL_BINARY, {"help", "TEST-TextLog"});
    EXPECT_EQ(one.exitCode, 0);
    for (const char* part : {" 2 --expression ", " 3 --position ", "  last_size            B ",
                             "Main value for qdxctl check: match", "Example:\n  qdxctl TEST-"})
        EXPECT_NE(one.out.find(part), std::string::npos) << part << "\n" << one.out;
    EXPECT_EQ(RunProgram(QDXCTL_BINARY, {"help", "NoSuchCommand"}).exitCode, 64);

    RunResult options = RunProgram(QDXCTL_BINARY, {"--help"});
    EXPECT_EQ(options.exitCode, 0);
    EXPECT_NE(options.out.find("--hosts FILE"), std::string::npos);

    std::string page = dir.File("qdxctl.1");
    WriteFile(page, RunProgram(QDXCTL_BINARY, {"help", "--man"}).out);
    RunResult groff = RunProgram("/usr/bin/groff", {"-ww", "-z", "-man", page});
    EXPECT_EQ(groff.exitCode, 0) << groff.err;
    EXPECT_EQ(groff.err, "");
    RunResult mandoc = RunProgram("/usr/bin/mandoc", {"-T", "lint", page});
    EXPECT_EQ(mandoc.exitCode, 0) << mandoc.out << mandoc.err;

    std::string script = dir.File("completion.bash");
    WriteFile(script, RunProgram(QDXCTL_BINARY, {"completion", "bash"}).out);
    RunResult names = RunProgram(
        "/bin/bash", {"-c", "source " + script +
                                "; COMP_WORDS=(qdxctl -p 1 TEST-CountFiles --m); COMP_CWORD=4;"
                                " _qdxctl; echo ${COMPREPLY[@]}; COMP_WORDS=(qdxctl set Fold);"
                                " COMP_CWORD=2; _qdxctl; echo ${COMPREPLY[@]}"});
    EXPECT_EQ(names.out, "--mask --mode --macros\nFolder\\ Size=\n") << names.err;

    // The options of check and set (general ones too), file names after -C, -f, --hosts, -F.
    std::string complete = "source " + script + "; c() { COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1));"
                           " _qdxctl; echo \"${COMPREPLY[*]}\"; }; ";
    RunResult completed = RunProgram(
        "/bin/bash",
        {"-c", complete + "c qdxctl check --unr; c qdxctl check -p 1 --crit; c qdxctl set --dr;"
                          " c qdxctl --hosts " + dir.path() + "/completion.b; c qdxctl -C " +
                   dir.path() + "/completion.b; c qdxctl -F script=" + dir.path() +
                   "/completion.b; c qdxctl check --unreachable cr"});
    EXPECT_EQ(completed.out, "--unreachable\n--critical --critical-on-timeout\n--dry-run\n" + script +
                               "\n" + script + "\nscript=" + script + "\ncritical\n")
        << completed.err;
}

TEST_F(QdxctlModes, NamedParametersFillTheRest) {
    RunResult named = Qdxctl({"TEST-CountFiles", "--path", data, "--mask=*.txt"});
    EXPECT_EQ(named.exitCode, 0) << named.err;
    EXPECT_EQ(named.out, "200\ncount: 2\n");
    // Positional words still work; a number such as -1 is a value, never an option.
    RunResult positional = Qdxctl({"TEST-CountFiles", data, "*", "0", "-1", "0"});
    EXPECT_EQ(positional.out, "501\nWrong parameter\n");
    // After "--", a word that looks like a name is a value.
    RunResult dashed = Qdxctl({"TEST-FileExists", "--", "--no-such-file"});
    EXPECT_EQ(dashed.exitCode, 1);
    EXPECT_NE(dashed.out.find("301\n"), std::string::npos);

    for (std::vector<std::string> wrong :
         {std::vector<std::string>{"TEST-CountFiles", "--folder", data},
          {"TEST-CountFiles", "--path", data, "--path", data},
          {"TEST-CountFiles", data, "--path", data}}) {
        RunResult usage = Qdxctl(wrong);
        EXPECT_EQ(usage.exitCode, 64) << wrong[1];
        EXPECT_NE(usage.err.find(" 2 --mask "), std::string::npos) << usage.err;
        EXPECT_EQ(usage.out, "");
    }
}

TEST_F(QdxctlModes, JsonOutputParsesBack) {
    RunResult exists = Qdxctl({"--json", "TEST-FileExists", "--path", data + "/a.txt"});
    EXPECT_EQ(exists.exitCode, 0);
    json object = json::parse(exists.out);
    EXPECT_EQ(object["command"], "TEST-FileExists");
    EXPECT_EQ(object["host"], "127.0.0.1");
    EXPECT_EQ(object["port"], agent.port());
    EXPECT_EQ(object["code"], "200");
    EXPECT_EQ(object["values"]["size_bytes"], 1);
    EXPECT_EQ(object["values"]["examined_path"], data + "/a.txt");
    std::string modified = object["values"]["modified_time"];
    EXPECT_EQ(modified.size(), 19u);
    EXPECT_EQ(modified[10], 'T');
    std::string wire = object["lines"][2];  // DDMMYYYYhhmmss beside its ISO form
    EXPECT_EQ(modified.substr(0, 4), wire.substr(4, 4));
    EXPECT_EQ(object["lines"][0], "     1");

    // Lists are arrays; a CR LF that travels escaped comes out as one.
    json info = json::parse(Qdxctl({"--json", "GetInfo"}).out);
    EXPECT_EQ(info["values"]["available_actions"],
              json({"Execute external command", "TCP/UDP send", "Syslog"}));
    EXPECT_TRUE(info["values"]["opened_connections"].is_number_integer());

    json refused = json::parse(Qdxctl({"--json", "TEST-FileCRC", "--path", dir.File("none")}).out);
    EXPECT_EQ(refused["code"], "301");
    EXPECT_EQ(refused["reason"], "Cannot open file");

    int closedPort = FreePort();
    RunResult none = Qdxctl({"--json", "GetInfo"}, closedPort);
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_EQ(json::parse(none.out)["no_reply"], "refused");
    RunResult wrong = RunProgram(
        QDXCTL_BINARY, {"-p", std::to_string(agent.port()), "--json", "GetInfo"}, 20,
        {"QDX_PASSWORD=not-the-password"});
    json closed = json::parse(wrong.out);
    EXPECT_EQ(closed["no_reply"], "closed");
    EXPECT_NE(closed["reason"].get<std::string>().find("wrong password"), std::string::npos);
}

TEST_F(QdxctlModes, CheckModeExitCodesAndPerformanceData) {
    int silent = 0;
    int listener = OccupyPort(silent);  // accepts through its backlog, never answers
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string out;  // the start of the status line, or a part after "..."
        int port = 0;
    } cases[] = {
        {{"-w", "5", "-c", "10", "TEST-CountFiles", "--path", data, "--mask", "*"},
         0,
         "QDX TEST-CountFiles OK - count=3 | count=3;5;10;;\n"},
        {{"-w", "2", "-c", "10", "TEST-CountFiles", "--path", data, "--mask", "*"},
         1,
         "QDX TEST-CountFiles WARNING - count=3 |"},
        {{"-w", "1", "-c", "@3:3", "TEST-CountFiles", "--path", data, "--mask", "*"},
         2,
         "QDX TEST-CountFiles CRITICAL - count=3 | count=3;1;@3:3;;\n"},
        {{"-c", "3", "TEST-CountFiles", "--path", data, "--mask", "*"}, 0, "QDX TEST-Count"},
        {{"TEST-FileCRC", "--path", dir.File("none")},
         2,
         "QDX TEST-FileCRC CRITICAL - 301 Cannot open file\n"},
        {{"TEST-Ping"},
         3,
         "QDX TEST-Ping UNKNOWN - 500 not implemented yet; TEST-TCP does the job here: qdxctl "
         "help TEST-TCP\n"},
        {{"--value", "examined_path", "-w", "1", "TEST-FileExists", data + "/a.txt"},
         3,
         "...examined_path is not a number"},
        {{"--value", "no_such", "TEST-UNC", "/"}, 3, "QDX UNKNOWN - TEST-UNC returns no value"},
        {{"-w", "x", "TEST-UNC", "/"}, 3, "QDX UNKNOWN - -w: not a threshold range"},
        {{"TEST-UNC", "/"}, 3, "QDX TEST-UNC UNKNOWN - no reply from 127.0.0.1:", FreePort()},
        {{"TEST-UNC", "/"}, 3, "...no reply within the time-out", silent},
        {{"--critical-on-timeout", "TEST-UNC", "/"}, 2, "QDX TEST-UNC CRITICAL - ", silent},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"check"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunResult run = Qdxctl(args, c.port);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.args[0] << " " << run.out;
        if (c.out.rfind("...", 0) == 0)
            EXPECT_NE(run.out.find(c.out.substr(3)), std::string::npos) << run.out;
        else
            EXPECT_EQ(run.out.rfind(c.out, 0), 0u) << run.out;
        EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
    }
    close(listener);
}

TEST_F(QdxctlModes, TextLogCheckKeepsItsStateBetweenCalls) {
    std::string log = dir.File("app.log"), state = dir.File("app.state");
    WriteFile(log, "start\nerror before the first check\n");
    std::vector<std::string> check = {"check",        "--state", state,   "TEST-TextLog", "--path",
                                      log,            "--expression", "error"};
    RunResult first = Qdxctl(check);
    EXPECT_EQ(first.exitCode, 0) << first.out;
    EXPECT_NE(first.out.find("OK - first check"), std::string::npos) << first.out;
    EXPECT_NE(ReadFile(state).find("\nlast_size=35\n"), std::string::npos) << ReadFile(state);

    RunResult quiet = Qdxctl(check);
    EXPECT_EQ(quiet.out, "QDX TEST-TextLog OK - no new matching line | matches=0;;0;;\n");

    WriteFile(log, ReadFile(log) + "fine\nerror one\nerror two\nerror three\n");
    RunResult found = Qdxctl(check);
    EXPECT_EQ(found.exitCode, 2);
    EXPECT_EQ(found.out,
              "QDX TEST-TextLog CRITICAL - 3 new matching lines, first: \"error one\", last: "
              "\"error three\" | matches=3;;0;;\n");
    RunResult after = Qdxctl(check);
    EXPECT_EQ(after.exitCode, 0) << after.out;
    EXPECT_FALSE(std::filesystem::exists(state + ".new." + std::to_string(getpid())));

    // Thresholds on the count: one new match under -w 2 is fine.
    WriteFile(log, ReadFile(log) + "error four\n");
    std::vector<std::string> lenient = check;
    lenient.insert(lenient.begin() + 1, {"-w", "2", "-c", "5"});
    RunResult one = Qdxctl(lenient);
    EXPECT_EQ(one.exitCode, 0) << one.out;
    EXPECT_NE(one.out.find("1 new matching line: \"error four\""), std::string::npos) << one.out;

    // The position belongs to the state file; a state file of another kind is refused.
    std::vector<std::string> owned = check;
    owned.insert(owned.end(), {"--position", "5"});
    EXPECT_EQ(Qdxctl(owned).exitCode, 3);
    WriteFile(state, "position=abc\n");
    RunResult broken = Qdxctl(check);
    EXPECT_EQ(broken.exitCode, 3);
    EXPECT_NE(broken.out.find("not a text-log state file"), std::string::npos) << broken.out;
}

TEST_F(QdxctlModes, ManyHostsInFileOrder) {
    TempDir otherDir, thirdDir;
    Agent two{otherDir}, three{thirdDir};
    ASSERT_TRUE(two.Start());
    ASSERT_TRUE(three.Start());
    int silent = 0;
    int listener = OccupyPort(silent);
    int closedPort = FreePort();
    std::string list = dir.File("hosts");
    WriteFile(list, "# fleet\n127.0.0.1:" + std::to_string(agent.port()) + "\n\n127.0.0.1:" +
                        std::to_string(silent) + "  # silent\n127.0.0.1:" +
                        std::to_string(two.port()) + "\n127.0.0.1:" + std::to_string(closedPort) +
                        "\n127.0.0.1:" + std::to_string(three.port()) + "\n127.0.0.1:" +
                        std::to_string(agent.port()) + "\n");
    RunResult run = Qdxctl({"--hosts", list, "--parallel", "2", "GetInfo"});
    EXPECT_EQ(run.exitCode, 2) << run.err;
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = run.out.find('\n', start)) != std::string::npos;
         start = end + 1)
        lines.push_back(run.out.substr(start, end - start));
    ASSERT_EQ(lines.size(), 6u) << run.out;
    auto at = [](int port) { return "127.0.0.1:" + std::to_string(port) + " "; };
    EXPECT_EQ(lines[0].rfind(at(agent.port()) + "200 agent_name=\"Brenn Quodex\"", 0), 0u);
    EXPECT_EQ(lines[1], at(silent) + "no reply (timeout): no reply within the time-out");
    EXPECT_EQ(lines[2].rfind(at(two.port()) + "200 ", 0), 0u);
    EXPECT_EQ(lines[3], at(closedPort) + "no reply (refused): Connection refused");
    EXPECT_EQ(lines[4].rfind(at(three.port()) + "200 ", 0), 0u);
    EXPECT_EQ(lines[5], at(agent.port()) + "skipped: duplicate of line 2");
    EXPECT_NE(run.err.find("6 hosts in "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("3 result 200"), std::string::npos) << run.err;

    // JSON lines, one object per asked host; checks take the worst state.
    RunResult asJson = Qdxctl({"--json", "--hosts", list, "TEST-UNC", "--path", "/"});
    size_t objects = 0;
    for (size_t start = 0, end; (end = asJson.out.find('\n', start)) != std::string::npos;
         start = end + 1, objects++)
        EXPECT_TRUE(json::parse(asJson.out.substr(start, end - start)).contains("host"));
    EXPECT_EQ(objects, 6u);
    RunResult checks = Qdxctl({"--hosts", list, "check", "--critical-on-timeout", "TEST-UNC", "/"});
    EXPECT_EQ(checks.exitCode, 3) << checks.out;
    EXPECT_NE(checks.out.find(at(silent) + "QDX TEST-UNC CRITICAL"), std::string::npos);

    // The same change on every host, read from standard input.
    RunResult set = RunProgram(
        "/bin/sh", {"-c", std::string(QDXCTL_BINARY) + " -t 1500 --hosts - set Comment=fleet < " +
                              list + " > /dev/null; echo $?"},
        30, {"QDX_PASSWORD=" + Agent::Password()});
    EXPECT_EQ(set.out, "2\n");
    EXPECT_NE(two.Call("GetInfo").text.find("\nComment=fleet\n"), std::string::npos);
    close(listener);
}

TEST_F(QdxctlModes, ConfigurationFileGivesTheEndpoint) {
    RunResult info = RunProgram(QDXCTL_BINARY, {"-C", agent.config(), "GetInfo"});
    EXPECT_EQ(info.exitCode, 0) << info.err;
    EXPECT_NE(info.out.find("\nport: " + std::to_string(agent.port()) + "\n"), std::string::npos);

    // A configuration of the agent's own user, as the package installs it, gives root the
    // endpoint too.
    ASSERT_EQ(chown(agent.configDir().c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(agent.config().c_str(), 65534, 65534), 0);
    RunResult owned = RunProgram(QDXCTL_BINARY, {"-C", agent.config(), "GetInfo"});
    EXPECT_EQ(owned.exitCode, 0) << owned.err;
    ASSERT_EQ(chown(agent.config().c_str(), 0, 0), 0);
    ASSERT_EQ(chown(agent.configDir().c_str(), 0, 0), 0);

    RunResult valid = RunProgram(QDXCTL_BINARY, {"verify-config", agent.config()});
    EXPECT_EQ(valid.exitCode, 0) << valid.err;
    EXPECT_EQ(valid.out, agent.config() + ": configuration OK\n");
    std::string broken = dir.File("broken.cfg");
    WriteFile(broken, "port=99999\nqdxpath=relative\n");
    RunResult invalid = RunProgram(QDXCTL_BINARY, {"verify-config", broken});
    EXPECT_EQ(invalid.exitCode, 1);
    for (const char* reason : {"Invalid TCP port number", "Password is not specified",
                               "Full path to the agent is not specified"})
        EXPECT_NE(invalid.err.find(reason), std::string::npos) << invalid.err;
    EXPECT_EQ(RunProgram(QDXCTL_BINARY, {"verify-config", dir.File("missing.cfg")}).exitCode, 1);
    EXPECT_EQ(RunProgram(QDXCTL_BINARY, {"verify-config"}).exitCode, 64);
}

}  // namespace
