#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// The relay under test, run as a child process on a free port of 127.0.0.1:
// tovrel, the bench's floor relay, ncat --broker, nats-server or
// redis-server (without persistence); or tovrel and nats-server with their
// WebSocket listeners, which the clients then use. Its console lines are read from a
// pipe, so the bench knows each accept. Readings come from /proc/<pid>.
// Stop ends exactly the process Start began.
class ServerProcess {
  public:
    enum class Kind { kTovrel, kFloor, kNcat, kNats, kRedis, kTovrelWs, kNatsWs };

    struct Usage {
        std::int64_t cpuTicks = 0;  // utime + stime, in clock ticks
        std::int64_t cpuNs = 0;     // time on a CPU from schedstat, all threads (0 if unavailable)
        std::int64_t waitNs = 0;    // time runnable but waiting for a CPU, all threads
        std::int64_t rssKb = 0;
        std::int64_t voluntarySwitches = 0;  // tovrel: one per 20 ms sleep, so one per pass
        int threads = 0;

        void Add(const Usage& other);
    };

    ServerProcess() = default;
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts `exe` on a free loopback port, with `extraArgs` after the
    // usual ones, and waits until it accepts connections. False (with a
    // message on stderr) when it does not start.
    bool Start(Kind kind, const std::string& exe, int maxConns,
               const std::vector<std::string>& extraArgs = {});
    // SIGTERM, drain its output, reap it; SIGKILL after a few seconds.
    void Stop();

    // Reads whatever the server printed (non-blocking) and counts events.
    void PumpOutput();

    Usage ReadUsage() const;
    // The server's open-file limits as "soft/hard", from /proc/<pid>/limits.
    std::string OpenFileLimits() const;
    double MsPerTick() const;

    Kind kind() const { return kind_; }
    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    // Where the bench's clients connect: the TLS port under TLS.
    int clientPort() const { return tlsPort_ != 0 ? tlsPort_ : port_; }
    int outputFd() const { return outFd_; }
    long accepted() const { return accepted_; }
    long disconnected() const { return disconnected_; }
    long timeouts() const { return timeouts_; }
    // Readers the server said it dropped for falling behind.
    long slowDrops() const { return slowDrops_; }
    // The relay's last console lines other than accepts: why a client went.
    const std::deque<std::string>& recentLines() const { return recent_; }

  private:
    std::vector<std::string> Arguments(const std::string& exe, int maxConns) const;

    void CountLine(const std::string& line);

    Kind kind_ = Kind::kTovrel;
    pid_t pid_ = -1;
    int port_ = 0;        // where the clients connect
    int tlsPort_ = 0;     // tovrel's TLS listener beside its plain port
    int tcpPort_ = 0;     // the plain port beside a WebSocket one
    std::string config_;  // nats-server's configuration file, for its WebSocket listener
    int outFd_ = -1;
    std::string partial_;
    std::deque<std::string> recent_;
    long accepted_ = 0;
    long disconnected_ = 0;
    long timeouts_ = 0;
    long slowDrops_ = 0;
};

const char* KindName(ServerProcess::Kind kind);
// TLS between the bench's clients and the relay (tovrel, nats-server and
// redis-server): the relay serves this PEM certificate and key. Empty: plain.
void SetBenchTls(const std::string& certFile, const std::string& keyFile);
bool BenchTls();
// With a window (0: none), tovrel keeps that many messages for resuming
// clients and each framed client sends "@RESUME" first, so it is sent
// every message tagged with its position.
void SetBenchResumeWindow(int messages);
// One more argument for tovrel's command line (such as --low-latency); it is
// named in the result rows after a "+".
void AddBenchServerArg(const std::string& arg);
int BenchResumeWindow();
// The kind's name in result rows: "-tls" added when the clients talk TLS,
// "-resume" when they resume.
std::string ServerLabel(ServerProcess::Kind kind);
// False for a name that is none of KindName's.
bool KindFromName(const std::string& name, ServerProcess::Kind& kind);
// tovrel, over TCP or WebSocket: one accept and one sleep per pass, and
// clients silent for 15 s dropped.
bool IsTovrel(ServerProcess::Kind kind);
// Whether a sender gets its own messages back, as tovrel's do.
bool Echoes(ServerProcess::Kind kind);
// How many connections the bench may have waiting for the relay to take
// them: below its listen backlog (5 for tovrel, 10 for ncat).
int ConnectWindow(ServerProcess::Kind kind);

// A TCP connection to 127.0.0.1:port in non-blocking mode, connect under way;
// -1 on failure.
int ConnectLoopback(int port);
// Raises this process's open-file soft limit to its hard limit.
void RaiseFileLimit();
