// qdxctl --hosts against a fleet on loopback: one agent answering on 127.0.0.1 to 127.0.3.232
// (an agent whose "host" is empty listens on every address), plus closed ports and listeners that
// accept and never answer. Prints the wall time, the hosts per second and qdxctl's peak memory.
//
//   qdx_hostsbench QDXCTL AGENT_PORT PASSWORD PARALLEL TIMEOUT_MS
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kAgentLines = 1000;
constexpr int kClosedLines = 100;  // 10%
constexpr int kSilentLines = 50;   // 5%

std::string Address(int n) {  // the n-th loopback address from 127.0.0.1
    return "127.0." + std::to_string(n / 256) + "." + std::to_string(n % 256);
}

int Bound(const std::string& address, int port, bool listening) {
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    if (bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        (listening && listen(sock, 16) != 0)) {
        std::perror(("bind " + address).c_str());
        std::exit(1);
    }
    return sock;
}

int PortOf(int sock) {
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &length);
    return ntohs(addr.sin_port);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: qdx_hostsbench QDXCTL AGENT_PORT PASSWORD PARALLEL TIMEOUT_MS\n");
        return 64;
    }
    std::string qdxctl = argv[1], agentPort = argv[2], password = argv[3];
    std::string parallel = argv[4], timeout = argv[5];

    // A port nothing listens on: taken, then given back.
    int probe = Bound("127.0.4.1", 0, false);
    int closedPort = PortOf(probe);
    close(probe);
    std::vector<int> silent;
    int silentPort = 0;
    for (int i = 0; i < kSilentLines; i++) {
        silent.push_back(Bound("127.0.5." + std::to_string(i + 1), silentPort, true));
        silentPort = PortOf(silent.back());
    }

    char path[] = "/tmp/qdx-hosts-XXXXXX";
    int fd = mkstemp(path);
    std::string list;
    int closed = 0, quiet = 0;
    for (int i = 1; i <= kAgentLines; i++) {
        list += Address(i) + ":" + agentPort + "\n";
        if (i % 10 == 0 && closed < kClosedLines)
            list += "127.0.4." + std::to_string(++closed) + ":" + std::to_string(closedPort) + "\n";
        if (i % 20 == 0 && quiet < kSilentLines)
            list += "127.0.5." + std::to_string(++quiet) + ":" + std::to_string(silentPort) + "\n";
    }
    if (write(fd, list.data(), list.size()) != static_cast<ssize_t>(list.size())) return 1;
    close(fd);

    int err[2];
    if (pipe(err) != 0) return 1;
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(err[1], 2);
        setenv("QDX_PASSWORD", password.c_str(), 1);
        execl(qdxctl.c_str(), qdxctl.c_str(), "--hosts", path, "--parallel", parallel.c_str(),
              "-t", timeout.c_str(), "GetInfo", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(err[1]);
    std::string summary;
    char block[4096];
    ssize_t n;
    while ((n = read(err[0], block, sizeof block)) > 0) summary.append(block, static_cast<size_t>(n));
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    unlink(path);
    for (int sock : silent) close(sock);
    int lines = kAgentLines + kClosedLines + kSilentLines;
    while (!summary.empty() && summary.back() == '\n') summary.pop_back();
    std::printf("hosts %d seconds %.3f hosts/s %.0f maxrss_kib %ld exit %d summary %s\n", lines,
                seconds, lines / seconds, usage.ru_maxrss,
                WIFEXITED(status) ? WEXITSTATUS(status) : -1, summary.c_str());
    return 0;
}
