#include "server_process.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "clock.h"

namespace {

std::string g_tlsCert;
std::string g_tlsKey;
int g_resumeWindow = 0;
std::vector<std::string> g_serverArgs;

sockaddr_in Loopback(int port) {
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// A port the kernel just handed out; free unless someone takes it meanwhile,
// which Start survives by trying again.
int PickFreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = Loopback(0);
    socklen_t len = sizeof addr;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return port;
}

// Blocking probe: does something listen on the port yet?
bool Listening(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = Loopback(port);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

int ConnectLoopback(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in addr = Loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
        errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void RaiseFileLimit() {
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

ServerProcess::~ServerProcess() {
    Stop();
}

std::vector<std::string> ServerProcess::Arguments(const std::string& exe, int maxConns) const {
    std::string port = std::to_string(port_);
    if (BenchTls()) {
        switch (kind_) {
            case Kind::kTovrel:
                return {exe,          port,      "--tls-port", std::to_string(tlsPort_),
                        "--tls-cert", g_tlsCert, "--tls-key",  g_tlsKey};
            case Kind::kNats:
                return {exe,     "-a",        "127.0.0.1", "-p",       port,
                        "--tls", "--tlscert", g_tlsCert,   "--tlskey", g_tlsKey};
            case Kind::kRedis:
                return {exe,
                        "--port",
                        "0",
                        "--tls-port",
                        port,
                        "--tls-cert-file",
                        g_tlsCert,
                        "--tls-key-file",
                        g_tlsKey,
                        "--tls-ca-cert-file",
                        g_tlsCert,
                        "--tls-auth-clients",
                        "no",
                        "--bind",
                        "127.0.0.1",
                        "--save",
                        "",
                        "--appendonly",
                        "no",
                        "--daemonize",
                        "no",
                        "--maxclients",
                        std::to_string(maxConns + 32)};
            default:
                return {};  // no TLS of its own
        }
    }
    switch (kind_) {
        case Kind::kTovrel:
        case Kind::kFloor:
            return {exe, port};
        case Kind::kNcat:
            // -v prints a line per accepted connection, which the bench counts.
            return {exe,        "-v",          "-n",
                    "-l",       "127.0.0.1",   port,
                    "--broker", "--max-conns", std::to_string(maxConns)};
        case Kind::kNats:
            return {exe, "-a", "127.0.0.1", "-p", port};
        case Kind::kTovrelWs:
            return {exe, std::to_string(tcpPort_), "--ws-port", port};
        case Kind::kNatsWs:
            return {exe, "-a", "127.0.0.1", "-p", std::to_string(tcpPort_), "-c", config_};
        case Kind::kRedis:
            // Nothing on disk: no snapshots, no append-only file.
            return {exe,
                    "--port",
                    port,
                    "--bind",
                    "127.0.0.1",
                    "--save",
                    "",
                    "--appendonly",
                    "no",
                    "--daemonize",
                    "no",
                    "--maxclients",
                    std::to_string(maxConns + 32)};
    }
    return {exe};
}

bool ServerProcess::Start(Kind kind, const std::string& exe, int maxConns,
                          const std::vector<std::string>& extraArgs) {
    kind_ = kind;
    if (BenchTls() && Arguments(exe, maxConns).empty()) {
        std::fprintf(stderr, "tovrel-bench: %s has no TLS\n", KindName(kind));
        return false;
    }
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = PickFreePort();
        tlsPort_ = BenchTls() && kind == Kind::kTovrel ? PickFreePort() : 0;
        int pipeFds[2];
        if (port_ == 0 || ::pipe2(pipeFds, O_CLOEXEC) != 0) {
            continue;
        }
        if (kind == Kind::kTovrelWs || kind == Kind::kNatsWs) {
            do {
                tcpPort_ = PickFreePort();
            } while (tcpPort_ == port_);
        }
        if (kind == Kind::kNatsWs) {
            // The WebSocket listener without TLS, on the port the clients use.
            config_ = "/tmp/tovrel-bench-nats-" + std::to_string(::getpid()) + ".conf";
            std::FILE* f = std::fopen(config_.c_str(), "w");
            if (f == nullptr) {
                ::close(pipeFds[0]);
                ::close(pipeFds[1]);
                continue;
            }
            std::fprintf(f, "websocket {\n  host: 127.0.0.1\n  port: %d\n  no_tls: true\n}\n",
                         port_);
            std::fclose(f);
        }
        std::vector<std::string> args = Arguments(exe, maxConns);
        if (IsTovrel(kind)) {
            args.insert(args.end(), g_serverArgs.begin(), g_serverArgs.end());
        }
        if (g_resumeWindow > 0) {
            args.insert(args.end(), {"--resume-window", std::to_string(g_resumeWindow)});
        }
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        std::vector<const char*> argv;
        for (const std::string& a : args) {
            argv.push_back(a.c_str());
        }
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(pipeFds[1], 1);
            if (IsTovrel(kind)) {
                ::dup2(::open("/dev/null", O_WRONLY), 2);
            } else {
                ::dup2(pipeFds[1], 2);  // where ncat reports connections, nats-server logs
            }
            ::dup2(::open("/dev/null", O_RDONLY), 0);
            if (IsTovrel(kind)) {
                // The usual default, so the run shows what tovrel raises it to
                // by itself; the other relays keep the bench's raised limit.
                rlimit files;
                if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_max > 1024) {
                    files.rlim_cur = 1024;
                    setrlimit(RLIMIT_NOFILE, &files);
                }
            }
            ::execvp(argv[0], const_cast<char* const*>(argv.data()));
            std::_Exit(127);
        }
        ::close(pipeFds[1]);
        outFd_ = pipeFds[0];
        ::fcntl(outFd_, F_SETFL, ::fcntl(outFd_, F_GETFL) | O_NONBLOCK);
        // Up to 5 s for it to listen; a server that exits early lost the port race.
        for (int i = 0; i < 100; ++i) {
            int status;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            if (Listening(port_) && Listening(clientPort())) {
                // The probe itself was one connection; let tovrel take it.
                ::usleep(100000);
                PumpOutput();
                accepted_ = disconnected_ = timeouts_ = slowDrops_ = 0;
                return true;
            }
            ::usleep(50000);
        }
        Stop();
    }
    std::fprintf(stderr, "tovrel-bench: %s did not start\n", exe.c_str());
    return false;
}

void ServerProcess::Stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        std::int64_t deadline = NowNs() + 5 * kNsPerSec;
        int status;
        while (::waitpid(pid_, &status, WNOHANG) != pid_) {
            // Keep reading, or a server with many lines to print would block.
            PumpOutput();
            if (NowNs() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            ::usleep(10000);
        }
        pid_ = -1;
    }
    if (outFd_ >= 0) {
        ::close(outFd_);
        outFd_ = -1;
    }
    if (!config_.empty()) {
        ::unlink(config_.c_str());
        config_.clear();
    }
}

void ServerProcess::PumpOutput() {
    char buffer[65536];
    for (int i = 0; i < 64 && outFd_ >= 0; ++i) {
        ssize_t r = ::read(outFd_, buffer, sizeof buffer);
        if (r <= 0) {
            return;
        }
        partial_.append(buffer, static_cast<size_t>(r));
        size_t start = 0, nl;
        while ((nl = partial_.find('\n', start)) != std::string::npos) {
            CountLine(partial_.substr(start, nl - start));
            start = nl + 1;
        }
        partial_.erase(0, start);
    }
}

void ServerProcess::CountLine(const std::string& line) {
    static const std::string kNcatAccept = "Ncat: Connection from 127.0.0.1:";
    if (line == "New client connected" || line == "accept" ||
        line.compare(0, kNcatAccept.size(), kNcatAccept) == 0) {
        ++accepted_;
        return;
    }
    recent_.push_back(line);
    if (recent_.size() > 8) {
        recent_.pop_front();
    }
    if (line == "Disconnected") {
        ++disconnected_;
    } else if (line == "TIMEOUT") {
        ++timeouts_;
    } else if (line == "Output overflow" || line.find("Slow Consumer") != std::string::npos ||
               line.find("output buffer limits") != std::string::npos) {
        ++slowDrops_;
    }
}

ServerProcess::Usage ServerProcess::ReadUsage() const {
    Usage u;
    std::string base = "/proc/" + std::to_string(pid_);
    std::ifstream statFile(base + "/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    // Fields after the parenthesised command name; utime and stime are 14 and 15.
    size_t close = stat.rfind(')');
    if (close != std::string::npos) {
        std::istringstream fields(stat.substr(close + 2));
        std::string field;
        for (int index = 3; fields >> field; ++index) {
            if (index == 14 || index == 15) {
                u.cpuTicks += std::atoll(field.c_str());
            }
        }
    }
    // Every thread's own figures: the process's schedstat is its first thread's.
    if (DIR* tasks = ::opendir((base + "/task").c_str())) {
        while (dirent* entry = ::readdir(tasks)) {
            if (entry->d_name[0] == '.') {
                continue;
            }
            std::ifstream sched(base + "/task/" + entry->d_name + "/schedstat");
            std::int64_t onCpu = 0, waiting = 0;
            if (sched >> onCpu >> waiting) {
                u.cpuNs += onCpu;
                u.waitNs += waiting;
            }
        }
        ::closedir(tasks);
    }
    std::ifstream status(base + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            u.rssKb = std::atoll(line.c_str() + 6);
        } else if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
            u.voluntarySwitches = std::atoll(line.c_str() + 24);
        } else if (line.rfind("Threads:", 0) == 0) {
            u.threads = std::atoi(line.c_str() + 8);
        }
    }
    return u;
}

std::string ServerProcess::OpenFileLimits() const {
    std::ifstream limits("/proc/" + std::to_string(pid_) + "/limits");
    std::string line;
    while (std::getline(limits, line)) {
        if (line.rfind("Max open files", 0) == 0) {
            std::istringstream fields(line.substr(14));
            std::string soft, hard;
            fields >> soft >> hard;
            return soft + "/" + hard;
        }
    }
    return "?";
}

double ServerProcess::MsPerTick() const {
    return 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void ServerProcess::Usage::Add(const Usage& other) {
    cpuTicks += other.cpuTicks;
    cpuNs += other.cpuNs;
    waitNs += other.waitNs;
    rssKb += other.rssKb;
    voluntarySwitches += other.voluntarySwitches;
    threads += other.threads;
}

namespace {
const char* const kKindNames[] = {"tovrel", "floor",     "ncat",   "nats",
                                  "redis",  "tovrel-ws", "nats-ws"};
constexpr int kKinds = sizeof kKindNames / sizeof kKindNames[0];
}  // namespace

const char* KindName(ServerProcess::Kind kind) {
    return kKindNames[static_cast<int>(kind)];
}

namespace {
// "+low-latency" for --low-latency, one such part per extra argument.
std::string ServerArgsLabel() {
    std::string label;
    for (const std::string& a : g_serverArgs) {
        label +=
            "+" +
            a.substr(a.find_first_not_of('-') == std::string::npos ? 0 : a.find_first_not_of('-'));
    }
    return label;
}
}  // namespace

void SetBenchTls(const std::string& certFile, const std::string& keyFile) {
    g_tlsCert = certFile;
    g_tlsKey = keyFile;
}

bool BenchTls() {
    return !g_tlsCert.empty();
}

void SetBenchResumeWindow(int messages) {
    g_resumeWindow = messages;
}

void AddBenchServerArg(const std::string& arg) {
    g_serverArgs.push_back(arg);
}

int BenchResumeWindow() {
    return g_resumeWindow;
}

std::string ServerLabel(ServerProcess::Kind kind) {
    return std::string(KindName(kind)) + (BenchTls() ? "-tls" : "") +
           (g_resumeWindow > 0 ? "-resume" : "") + ServerArgsLabel();
}

bool KindFromName(const std::string& name, ServerProcess::Kind& kind) {
    for (int i = 0; i < kKinds; ++i) {
        if (name == kKindNames[i]) {
            kind = static_cast<ServerProcess::Kind>(i);
            return true;
        }
    }
    return false;
}

bool IsTovrel(ServerProcess::Kind kind) {
    return kind == ServerProcess::Kind::kTovrel || kind == ServerProcess::Kind::kTovrelWs;
}

bool Echoes(ServerProcess::Kind kind) {
    return kind != ServerProcess::Kind::kNcat;
}

int ConnectWindow(ServerProcess::Kind kind) {
    return IsTovrel(kind) || kind == ServerProcess::Kind::kNcat ? 4 : 64;
}
