// Runs the real agent binary on a loopback port with a temporary configuration.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"

// A fresh directory, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A TCP port on 127.0.0.1 that nothing listens on right now.
int FreePort();
// A socket listening on a free port of 127.0.0.1 (to occupy it); the port is stored in `port`.
int OccupyPort(int& port);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

// Sleeps in small steps until `done` holds or `seconds` pass; returns the last value of done.
template <typename F>
bool WaitUntil(F done, double seconds);

// What a finished agent process printed, and how it ended.
struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs `binary` with `args` (and `env` entries such as "NAME=value" added to the environment) to
// its end, bounded by `seconds`; killed after that.
RunResult RunProgram(const char* binary, const std::vector<std::string>& args, double seconds = 20,
                     const std::vector<std::string>& env = {});
// The built agent, or, when debug information (a sanitizer build's) makes it larger than an
// upgrade may carry, a copy of it without that information: what upgrade tests install and send.
const std::string& AgentImage();

// Runs the agent with `args` to its end.
RunResult RunAgentToExit(const std::vector<std::string>& args, double seconds = 20);

// A running agent in interactive mode whose console output is collected.
class Agent {
public:
    // Writes a configuration (the essential keys plus `extra` lines) into a folder of its own (no
    // check may read the agent's configuration folder, so it is not `dir`, where tests keep their
    // files); temporary files go to `dir`.
    Agent(const TempDir& dir, const std::string& extra = "", int port = 0);
    ~Agent();

    // Starts "qdx -i <args> cfg" and waits for "Listening..."; false when it did not come.
    bool Start(const std::vector<std::string>& args = {});
    // Sends SIGKILL (if still running) and reaps the process.
    void Kill();
    // Waits for the process to end; returns its exit code or -1 after `seconds`.
    int WaitExit(double seconds);
    bool Running();

    // True once `text` has appeared on the console (waiting up to `seconds`).
    bool WaitForOutput(const std::string& text, double seconds);
    std::string Output();

    QdxEndpoint Endpoint() const;
    QdxReplyText Call(const std::string& command, const std::vector<std::string>& params = {});

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string& config() const { return config_; }
    const std::string& configDir() const { return configDir_.path(); }
    // A log file named without a folder in the configuration: it lies beside the configuration.
    std::string LogFile(const std::string& name) const { return configDir_.File(name); }
    static std::string Password() { return "e2e-secret"; }

private:
    void Reader(int fd);

    int port_;
    TempDir configDir_;
    std::string config_;
    pid_t pid_ = -1;
    pid_t group_ = -1;  // the process group the agent was started in
    int exitCode_ = -1;
    std::thread reader_;
    std::mutex outputMutex_;
    std::string output_;
};

template <typename F>
bool WaitUntil(F done, double seconds) {
    for (int i = 0; i < static_cast<int>(seconds * 50); i++) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}
