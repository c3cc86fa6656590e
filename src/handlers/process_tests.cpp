#include "handlers/process_tests.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <thread>

#include "config/file_trust.h"
#include "config/messages.h"
#include "config/settings.h"
#include "fileutils/file_facts.h"
#include "fileutils/process.h"
#include "fileutils/tempname.h"
#include "foundation/blocking_wait.h"
#include "handlers/path_param.h"
#include "handlers/script_output.h"
#include "protocol/decoders.h"

namespace {

const char kNotAllowed[] = "test is not allowed";
constexpr int kCpuScriptLimitMs = 8000;
std::atomic<int> scriptWaitLimitMs{60000};

void Answer(QDXReply& reply, const char* code, const String& reason) {
    reply.SetResult(code) += reason;
}

// The bytes of s up to its first zero byte, as a C string.
std::string Text(const String& s) {
    return s.Data() != nullptr ? std::string(s.Data(), static_cast<size_t>(s.Length())).c_str()
                               : std::string();
}

// The configured temporary folder; null (the environment's) before any configuration is loaded.
const char* FolderOf(const std::string& tmpdir) {
    return tmpdir.empty() ? nullptr : tmpdir.c_str();
}

// A temporary file of one request: created exclusively, closed and deleted with the object.
class TempFile {
public:
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        Close();
        if (path_.Length() > 0) DeleteFile(Text(path_).c_str());
    }

    // kTempNoName, kTempCannotCreate or a descriptor, as CreateTempFile.
    int Create(const std::string& tmpdir, const char* pattern, mode_t mode) {
        fd_ = CreateTempFile(FolderOf(tmpdir), pattern, mode, path_);
        return fd_;
    }
    int fd() const { return fd_; }
    std::string path() const { return Text(path_); }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    // A stream reading the file from its start; null when it cannot be had.
    FILE* OpenForReading() const {
        if (fd_ < 0 || lseek(fd_, 0, SEEK_SET) != 0) return nullptr;
        int copy = fcntl(fd_, F_DUPFD_CLOEXEC, 0);
        if (copy < 0) return nullptr;
        FILE* file = fdopen(copy, "r");
        if (file == nullptr) close(copy);
        return file;
    }

private:
    int fd_ = -1;
    String path_;
};

// Closes a stream at the end of a scope.
struct FileCloser {
    FILE* file;
    ~FileCloser() {
        if (file != nullptr) std::fclose(file);
    }
};

// False, with "301" "<what> script is not speified" or "... doesn't exist", unless the setting
// names an existing file; with "301" "Cannot execute script" when the script or the temporary
// folder could be changed by someone the agent does not trust (the failure log says why).
bool ScriptIsThere(const String& setting, const char* what, QDXReply& reply) {
    if (setting.Length() == 0) {
        Answer(reply, "301", String(what) + " script is not speified");
        return false;
    }
    if (!FileExists(Text(setting).c_str())) {
        Answer(reply, "301", String(what) + " script doesn't exist");
        return false;
    }
    if (String reason; !ScriptMayRun(setting, CurrentSettings()->tmpdir, reason)) {
        showmessage("%s script refused: %s\n", LOCAL, msgFail, 1, what, reason.SetZero().Data());
        Answer(reply, "301", "Cannot execute script");
        return false;
    }
    return true;
}

// `text` split on blanks (space, tab, line feed) as the shell splits words.
std::vector<std::string> BlankSeparatedWords(const std::string& text) {
    std::vector<std::string> words;
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n'; };
    for (size_t i = 0; i < text.size();) {
        if (blank(text[i])) {
            i++;
            continue;
        }
        size_t end = i;
        while (end < text.size() && !blank(text[end])) end++;
        words.push_back(text.substr(i, end - i));
        i = end;
    }
    return words;
}

// `words` single-quoted for the shell, which then passes them on as arguments and interprets none
// of them.
std::string QuotedWords(const std::vector<std::string>& words) {
    std::string quoted;
    for (const std::string& word : words) {
        if (!quoted.empty()) quoted += ' ';
        quoted += '\'';
        for (char c : word) {
            if (c == '\'')
                quoted += "'\\''";
            else
                quoted += c;
        }
        quoted += '\'';
    }
    return quoted;
}

// A setting that the shell's "exec" would run as it stands: one path with a '/', made only of
// characters the shell gives no meaning to. Such a program can be started without the shell.
bool IsPlainProgramPath(const std::string& setting) {
    auto plain = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               (c != '\0' && std::strchr("/._+,:@%-", c) != nullptr);
    };
    return setting.find('/') != std::string::npos &&
           std::all_of(setting.begin(), setting.end(), plain);
}

// True when a run ended on its own, whatever its exit code.
bool RanToItsEnd(ChildEnd end) {
    return end != ChildEnd::NotStarted && end != ChildEnd::KilledAtLimit &&
           end != ChildEnd::CannotTerminate;
}

// Runs the script a setting names with `arguments` split into words, its descriptors 1, 2 and 3
// writing into `out`, bounded by the script wait limit, as "/bin/sh -c 'exec <setting> <quoted
// words> 3>&1'" would. The shell replaces itself with the script, so a script that counts processes
// does not find the agent's shell among them; a plain path is started directly, without the
// shell's start, and the shell is left for settings that need it and for programs that cannot be
// started (its messages and exit codes are then the script's result, as always). True when the
// script ran to its end; false when it could not start or was killed at the limit. `extraEnv`
// ("NAME=value", or null) is added to the script's environment.
bool RunScript(const std::string& setting, const std::string& arguments, const TempFile& out,
               const std::string& tmpdir, const char* extraEnv = nullptr) {
    const std::vector<std::string> words = BlankSeparatedWords(arguments);
    TChildSetup setup;
    setup.out = setup.err = setup.fd3 = out.fd();
    setup.tmpdir = FolderOf(tmpdir);
    setup.extraEnv = extraEnv;
    int exitcode = 0;
    String message;
    if (IsPlainProgramPath(setting)) {
        std::vector<std::string> direct = {setting};
        direct.insert(direct.end(), words.begin(), words.end());
        std::vector<char*> argv;
        for (std::string& word : direct) argv.push_back(word.data());
        argv.push_back(nullptr);
        ChildEnd end = RunProgram(argv.data(), setup, scriptWaitLimitMs.load(), exitcode, message);
        if (end != ChildEnd::NotStarted) return RanToItsEnd(end);
    }
    std::string line = "exec " + setting;
    if (!words.empty()) line += " " + QuotedWords(words);
    line += " 3>&1";
    char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"), line.data(), nullptr};
    setup.fd3 = -1;
    return RanToItsEnd(RunProgram(argv, setup, scriptWaitLimitMs.load(), exitcode, message));
}

// The process name for the count script's environment: parameter line `index` exactly as it
// came, blanks and tabs included, without the CR that ends the request's lines, up to its first
// NUL byte (which no environment can carry).
std::string ProcessNameEntry(const ZPRequest& request, int index) {
    String raw = request.GetParam(index, 0);
    if (raw.Length() > 0 && raw[raw.Length()] == '\r') raw.SetLength(raw.Length() - 1);
    return std::string(kProcessNameVariable) + "=" + Text(raw);
}

// The refusal when the output file of a script cannot be had: no name could be formed, or the
// named file could not be created.
const char* NoOutputFile(int created) {
    return created == kTempNoName ? "cannot get temp file" : "Cannot get script results";
}

void Pause(int microseconds) {
    if (microseconds <= 0) return;
    BlockingWait pause;
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

// Parameter 4 of the shell-script test in milliseconds, clamped to the int range (never -1).
int ScriptTimeout(int seconds) {
    long long ms = static_cast<long long>(seconds) * 1000;
    return ms > INT_MAX ? INT_MAX : ms < INT_MIN ? INT_MIN : static_cast<int>(ms);
}

}  // namespace

void SetScriptWaitLimitForTesting(int milliseconds) {
    scriptWaitLimitMs = milliseconds;
}

void ProcessTest_Process(const ZPRequest& request, QDXReply& reply) {
    SettingsSnapshot settings = CurrentSettings();
    if (!settings->process) return Answer(reply, "600", kNotAllowed);
    if (!ScriptIsThere(settings->proccntscript, "ProcCnt", reply)) return;
    String name = request.GetParam(2, 1);
    if (name.Length() == 0) return Answer(reply, "501", "Name of the process is not specified");
    const std::string tmpdir = Text(settings->tmpdir);
    TempFile out;
    if (int created = out.Create(tmpdir, "tmpPqdx-%ld.txt", 0600); created < 0)
        return Answer(reply, "301", NoOutputFile(created));

    // The words are for scripts that read their arguments; the variable carries the name exactly.
    std::string exactName = ProcessNameEntry(request, 2);
    if (!RunScript(Text(settings->proccntscript), Text(name), out, tmpdir, exactName.c_str()))
        return Answer(reply, "301", "Cannot execute script");
    FileCloser results{out.OpenForReading()};
    if (results.file == nullptr) return Answer(reply, "301", "Cannot get script results");
    int count = 0;
    if (!ReadLeadingInt(results.file, count)) return Answer(reply, "301", "Script error");
    reply.SetResult("200");
    reply.AddIntParam(count);
}

void ProcessTest_CPU(const ZPRequest&, QDXReply& reply) {
    SettingsSnapshot settings = CurrentSettings();
    if (!settings->cpuusage) return Answer(reply, "600", kNotAllowed);
    if (!ScriptIsThere(settings->cpuusagescript, "CPUUsage", reply)) return;
    const std::string tmpdir = Text(settings->tmpdir);
    TempFile out;
    if (int created = out.Create(tmpdir, "tmpCqdx-%ld.txt", 0600); created < 0)
        return Answer(reply, "301", NoOutputFile(created));
    Pause(settings->delayforscripts);

    TChildSetup setup;
    setup.out = setup.err = out.fd();
    setup.tmpdir = FolderOf(tmpdir);
    int exitcode = 0;
    String message;
    if (RunCommandLine(Text(settings->cpuusagescript).c_str(), setup, kCpuScriptLimitMs, exitcode,
                       message) != ChildEnd::Exited)
        return Answer(reply, "301", "Cannot execute script");
    FileCloser results{out.OpenForReading()};
    if (results.file == nullptr) return Answer(reply, "301", "Cannot get script results");
    float usage = 0;
    if (!ReadLeadingReal(results.file, usage)) return Answer(reply, "301", "Script error");
    reply.SetResult("200");
    reply.AddRealParam(static_cast<double>(usage));
}

void ProcessInfo_ProcessesList(const ZPRequest&, QDXReply& reply) {
    SettingsSnapshot settings = CurrentSettings();
    if (!settings->process) return Answer(reply, "600", kNotAllowed);
    if (!ScriptIsThere(settings->proclistscript, "ProcList", reply)) return;
    const std::string tmpdir = Text(settings->tmpdir);
    TempFile out;
    if (int created = out.Create(tmpdir, "tmpPqdx-%ld.txt", 0600); created < 0)
        return Answer(reply, "301", NoOutputFile(created));

    if (!RunScript(Text(settings->proclistscript), "", out, tmpdir))
        return Answer(reply, "301", "Cannot execute script");
    FileCloser results{out.OpenForReading()};
    if (results.file == nullptr) return Answer(reply, "301", "Cannot get script results");
    reply.SetResult("200");
    reply.AddStringParam(ReadProcessList(results.file), 1);
}

void ProcessTest_External(const ZPRequest& request, QDXReply& reply) {
    SettingsSnapshot settings = CurrentSettings();
    if (!settings->external) return Answer(reply, "600", kNotAllowed);
    String command = GetPathParam(request, 1);
    String folder = GetPathParam(request, 2);
    int timeout = 0;
    if (!qdxDecodeInt(request.GetParam(4, 1), timeout))
        return Answer(reply, "501", "Wrong parameter");
    if (command.Length() == 0)
        return Answer(reply, "501", "Command line to execute is not specified");
    AnswerProgramRun(command, folder, timeout, reply);
}

void AnswerProgramRun(const String& commandLine, const String& folder, int timeoutMs,
                      QDXReply& reply) {
    const std::string tmpdir = Text(CurrentSettings()->tmpdir);
    const std::string workdir = Text(folder);
    int exitcode = 0;
    String message;
    if (!SystemEx(Text(commandLine).c_str(), workdir.empty() ? nullptr : workdir.c_str(), timeoutMs,
                  exitcode, message, FolderOf(tmpdir)))
        return Answer(reply, "301", message);
    reply.SetResult("200");
    reply.AddIntParam(exitcode);
}

void ProcessTest_ShellScript(const ZPRequest& request, QDXReply& reply) {
    SettingsSnapshot settings = CurrentSettings();
    if (!settings->shellscript) return Answer(reply, "600", kNotAllowed);
    String start = request.GetParam(1, 1);
    String body = qdxDecodeStrings(request.GetParam(2, 1)).ReplaceAll("\r\n", "\n", 1);
    String params = qdxDecodeStrings(request.GetParam(3, 1));
    int timeout = ScriptTimeout(qdxDecodeInt(request.GetParam(4, 1)));
    int budget = qdxDecodeInt(request.GetParam(5, 1));
    const std::string tmpdir = Text(settings->tmpdir);

    TempFile script;
    {
        // No child may inherit the script's descriptor open for writing, or the exec below
        // would fail with "Text file busy".
        auto noForks = HoldForks();
        int fd = script.Create(tmpdir, nullptr, 0700);
        if (fd == kTempNoName) return Answer(reply, "301", "Cannot get temp file");
        if (fd < 0) return Answer(reply, "301", "Cannot create temp file");
        ssize_t written = body.Length() > 0 ? write(fd, body.Data(), body.Length()) : 0;
        if (written != body.Length()) return Answer(reply, "301", "cannot create temp file");
        if (fchmod(fd, 0700) != 0) return Answer(reply, "301", "Cannot set exec flag for script");
        script.Close();
    }
    TempFile out;
    int fd = out.Create(tmpdir, nullptr, 0600);
    if (fd == kTempNoName) return Answer(reply, "301", "Cannot get temp file");
    if (fd < 0) return Answer(reply, "301", "Cannot create temp file");

    String line = start.ReplaceAll("%script%", script.path().c_str(), 0)
                      .ReplaceAll("%params%", Text(params).c_str(), 0);
    Pause(settings->delayforscripts);
    TChildSetup setup;
    setup.out = setup.err = out.fd();
    setup.tmpdir = FolderOf(tmpdir);
    int exitcode = 0;
    String message;
    if (RunCommandLine(Text(line).c_str(), setup, timeout, exitcode, message) != ChildEnd::Exited)
        return Answer(reply, "301", String("Script execution error: ") + message);
    FileCloser results{out.OpenForReading()};
    if (results.file == nullptr) return Answer(reply, "301", "Cannot get script results");
    String result, output;
    ReadScriptResult(results.file, budget, result, output);
    reply.SetResult("200");
    reply.AddStringParam(result, 1);
    reply.AddStringParam(output, 1);
}
