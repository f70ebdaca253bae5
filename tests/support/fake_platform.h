#pragma once

#include <climits>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

// A scripted platform: sockets are records with queued receive results and
// captured sent bytes, time only moves when a test moves it. Installed with
// SetPlatform for the duration of a test.
class FakePlatform : public CPlatform {
  public:
    struct Socket {
        // Each entry is one Recv result: bytes, or a bare code (0, kIoWouldBlock, kIoError).
        struct Event {
            std::string bytes;
            int code;
        };
        std::deque<Event> inbound;
        std::string sent;
        int sendLimit = INT_MAX;  // most bytes one Send accepts
        int sendResult = 0;       // when non-zero, Send returns it instead
        int sendCalls = 0;
        int recvCalls = 0;
        bool closed = false;
        bool aborted = false;   // closed with a reset
        bool sendShut = false;  // ShutdownSend was called
        bool accepted = false;
    };

    // Socket library
    void StartNetwork() override { networkStarted = true; }
    void InstallStopHandler(void (*onStop)(StopRequest)) override { stopHandler = onStop; }
    SocketHandle CreateTcpSocket() override;
    void SetReuseAddress(SocketHandle) override { reuseAddressSet = true; }
    int SetNonBlocking(SocketHandle s) override;
    int BindAnyIPv4(SocketHandle, std::uint16_t port) override;
    int BindIPv4(SocketHandle s, std::uint32_t address, std::uint16_t port) override {
        boundAddress = address;
        return BindAnyIPv4(s, port);
    }
    int Listen(SocketHandle, int backlog) override;
    SocketHandle Accept(SocketHandle listener) override;
    SocketHandle AcceptFrom(SocketHandle listener, std::uint32_t* peer) override;
    int Recv(SocketHandle s, void* buffer, int length) override;
    int Send(SocketHandle s, const void* data, int length) override;
    int SendGather(SocketHandle s, const SendSlice* slices, int count) override;
    void CloseSocket(SocketHandle s) override;
    bool ShutdownSend(SocketHandle s) override {
        sockets[s].sendShut = true;
        return true;
    }
    void AbortSocket(SocketHandle s) override {
        sockets[s].aborted = true;
        CloseSocket(s);
    }
    void RefreshReadiness() override;
    bool MayRead(SocketHandle s) override;
    ReadyList ReadySockets() override;
    void WaitReadiness(int timeoutMs) override;
    std::uint32_t TickCount() override { return now; }
    std::uint64_t MicroTicks() override {
        return static_cast<std::uint64_t>(now) * 1000u + nowMicros;
    }
    std::uint64_t WallClockMs() override { return wallMs; }
    void SleepMs(int ms) override;
    void SleepMicros(std::uint32_t us) override;
    // Standard output: the process's own unless `outputRoom` is set.
    int WriteOutput(const char* data, int length) override;
    std::FILE* OpenForReading(const char* path) override;
    // From `stamps` when the test set one for the path; none otherwise.
    bool StampFile(const char* path, FileStamp* stamp) override;

    // Test controls
    SocketHandle QueueConnection();  // a peer waiting in the backlog
    // The socket most recently made to listen.
    SocketHandle LastListener() const { return listener_; }
    // A peer waiting on one listener only; the others take from `backlog`.
    SocketHandle QueueConnectionOn(SocketHandle listener);
    void Feed(SocketHandle s, const std::string& bytes) {
        sockets[s].inbound.push_back({bytes, 0});
    }
    void FeedCode(SocketHandle s, int code) { sockets[s].inbound.push_back({std::string(), code}); }
    std::string TakeSent(SocketHandle s);
    Socket& At(SocketHandle s) { return sockets[s]; }
    bool IsClosed(SocketHandle s) { return sockets[s].closed; }

    std::map<SocketHandle, Socket> sockets;
    // The peer address each accepted socket reports (host order); 0 unless set.
    std::map<SocketHandle, std::uint32_t> peers;
    // File stamps by path, as the test moves them; a path without one has none.
    std::map<std::string, FileStamp> stamps;
    int stampCalls = 0;
    std::vector<SocketHandle> recvLog;  // every Recv, in call order
    std::deque<SocketHandle> backlog;
    std::map<SocketHandle, std::deque<SocketHandle>> backlogs;
    std::uint32_t now = 1000;
    // Microseconds past `now`, moved by SleepMicros only.
    std::uint32_t nowMicros = 0;
    // The wall clock WallClockMs gives, in milliseconds since 1970.
    std::uint64_t wallMs = 1765360000000ull;
    bool networkStarted = false;
    bool reuseAddressSet = false;
    void (*stopHandler)(StopRequest) = nullptr;
    bool failCreate = false, failNonBlocking = false, failBind = false, failListen = false;
    bool failAcceptedNonBlocking = false;
    int boundPort = -1;
    std::uint32_t boundAddress = 0;
    int listenBacklog = -1;
    std::string lastOpenedPath;
    std::function<void(int)> onSleep;  // called for each SleepMs
    // Standard output, when outputRoom is not negative: what was written,
    // and how many bytes more it takes before it is full. Once outputGone
    // is set, every write fails as on a pipe without a reader.
    int outputRoom = -1;
    bool outputGone = false;
    std::string output;
    // Readiness: off, every socket may read (as on a system without a
    // check) and ReadySockets is not complete. On, each look notes the
    // sockets with a queued receive result; MayRead answers from the last
    // look, and ReadySockets lists those of them that were accepted and are
    // not closed, as a real system would.
    bool reportReadiness = false;
    int readinessLooks = 0;
    std::set<SocketHandle> readyAtLook;
    std::vector<SocketHandle> readyList;  // what ReadySockets hands out
    // MicroTicks() at each look: when each pass started.
    std::vector<std::uint64_t> lookTimes;
    // Readiness waits, each one's timeout in call order. A wait calls onWait
    // first (a test may feed a socket there), then returns at once when a
    // look would report something or a connection waits, and otherwise
    // takes its whole timeout. With clockFollowsWaits, a wait that takes
    // its timeout, and every SleepMs and SleepMicros, move the clock by it.
    std::vector<int> waitTimeouts;
    std::function<void(int)> onWait;
    bool clockFollowsWaits = false;
    // Whether a look now would report something, or a connection waits.
    bool AnythingReady() const;

  private:
    SocketHandle nextHandle_ = 100;
    SocketHandle listener_ = INVALID_SOCKET;
};

// Frame helpers for tests.
std::string Frame(const std::string& payload);
std::string LengthOnly(std::int32_t length);
