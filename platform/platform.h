#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The operating-system services the server needs, behind one small
// interface: sockets, a millisecond clock, a sleep, a stop handler, standard
// output for event lines and the fast-command file. One implementation per platform; tests
// substitute fakes.

// A socket handle wide enough for both POSIX descriptors and Winsock SOCKETs.
using SocketHandle = std::uintptr_t;

#ifndef INVALID_SOCKET
#define INVALID_SOCKET (~static_cast<SocketHandle>(0))
#endif

// Results of Recv and Send besides a byte count (and Recv's 0 for an orderly
// close). Both are negative, so "less than 0" still means "nothing done".
constexpr int kIoWouldBlock = -1;  // nothing to read, no room to send, or interrupted
constexpr int kIoError = -2;       // the connection is broken (reset, aborted, ...)

// One piece of a gathered send.
struct SendSlice {
    const void* data;
    int length;
};
// Most pieces one SendGather takes (the least of the systems' limits).
constexpr int kMaxSendSlices = 1024;

// What the system tells of this process, for the process_ metrics. A
// figure the system cannot give is negative.
struct ProcessFigures {
    double startTimeSeconds = -1;  // since the Unix epoch
    double cpuSeconds = -1;        // user and system together
    long long residentBytes = -1;
    long long openFiles = -1;  // descriptors, or handles on Windows
    long long maxFiles = -1;
};

// What a stop request asks for: to stop now (Ctrl+C, a closed console
// window), to stop gently (SIGTERM, Ctrl+Break), which the server may take
// as a request to drain its clients first, or a hang-up (SIGHUP, POSIX
// only), which the server may take as a request to reload its
// configuration, and otherwise stops at once on.
enum class StopRequest { kNow, kGently, kHangUp };

class CPlatform {
  public:
    virtual ~CPlatform() {}

    // Starts the socket library where one must be started; the result is not reported.
    virtual void StartNetwork() = 0;
    // Calls onStop (from a signal or system thread) for each stop request:
    // Ctrl+C and friends, saying which kind. onStop must only store
    // lock-free flags.
    virtual void InstallStopHandler(void (*onStop)(StopRequest)) = 0;

    // A new IPv4 TCP socket, or INVALID_SOCKET.
    virtual SocketHandle CreateTcpSocket() = 0;
    // Lets a restarted server bind its port again at once, without letting
    // another program share it. The result is not reported.
    virtual void SetReuseAddress(SocketHandle s) = 0;
    // 0 on success, anything else on failure.
    virtual int SetNonBlocking(SocketHandle s) = 0;
    // Binds to every local IPv4 address on `port`; negative on failure.
    virtual int BindAnyIPv4(SocketHandle s, std::uint16_t port) = 0;
    // Binds to one local IPv4 address (host byte order) on `port`; negative
    // on failure, as on a platform that cannot.
    virtual int BindIPv4(SocketHandle /*s*/, std::uint32_t /*address*/, std::uint16_t /*port*/) {
        return -1;
    }
    // Up to `backlog` connections wait for their accept, or the system's
    // maximum when that is less. Negative on failure.
    virtual int Listen(SocketHandle s, int backlog) = 0;
    // One waiting connection, or INVALID_SOCKET when none waits (never blocks).
    virtual SocketHandle Accept(SocketHandle listener) = 0;
    // As Accept, and stores the peer's IPv4 address (host byte order) in
    // *peer; 0 where the system cannot tell.
    virtual SocketHandle AcceptFrom(SocketHandle listener, std::uint32_t* peer) {
        *peer = 0;
        return Accept(listener);
    }
    // Bytes received (> 0), 0 when the peer closed, kIoWouldBlock or kIoError.
    virtual int Recv(SocketHandle s, void* buffer, int length) = 0;
    // Bytes accepted (> 0), kIoWouldBlock or kIoError. Never raises a signal.
    virtual int Send(SocketHandle s, const void* data, int length) = 0;
    // Sends the pieces in order as one stream of bytes, as Send does one
    // buffer; at most kMaxSendSlices of them. The default sends the first.
    virtual int SendGather(SocketHandle s, const SendSlice* slices, int count) {
        return count > 0 ? Send(s, slices[0].data, slices[0].length) : kIoWouldBlock;
    }
    virtual void CloseSocket(SocketHandle s) = 0;
    // Tells the peer that nothing more will be sent (a FIN after what is
    // queued), while what it still sends can be received. False where the
    // system cannot.
    virtual bool ShutdownSend(SocketHandle /*s*/) { return false; }
    // Closes at once with a reset, discarding what the system still holds
    // to send: for a peer that stopped reading, whose unsent bytes would
    // otherwise keep system memory long after the close.
    virtual void AbortSocket(SocketHandle s) { CloseSocket(s); }

    // One look per pass at which accepted sockets have something to report
    // (bytes, a close or an error), so that quiet ones cost no receive.
    // MayRead answers from the last look; a socket accepted since then may
    // read. Systems without a cheap check keep these defaults: every socket
    // may read, and each pass tries a receive on each of them.
    virtual void RefreshReadiness() {}
    virtual bool MayRead(SocketHandle /*s*/) { return true; }

    // The sockets that the last look (RefreshReadiness) found with something
    // to report (bytes, a close or an error), each once, in no particular
    // order; valid until the next look. `complete` is false when the look
    // cannot tell (no notification on this system, a failed look, a fake
    // that does not report): then every socket may read.
    struct ReadyList {
        const SocketHandle* sockets;
        int count;
        bool complete;
    };
    virtual ReadyList ReadySockets() { return {nullptr, 0, false}; }
    // Waits up to `timeoutMs` for something the next look would report, or
    // a connection waiting on a listener, and takes nothing: the look still
    // finds it. Systems that cannot tell sleep the whole time.
    virtual void WaitReadiness(int timeoutMs) { SleepMs(timeoutMs); }

    // Milliseconds since an arbitrary origin, wrapping at 2^32.
    virtual std::uint32_t TickCount() = 0;
    // Microseconds since an arbitrary origin, for timing a pass; by default
    // from the millisecond clock.
    virtual std::uint64_t MicroTicks() { return static_cast<std::uint64_t>(TickCount()) * 1000u; }
    // Milliseconds since the Unix epoch by the wall clock, which may step;
    // for what must differ from one run to the next.
    virtual std::uint64_t WallClockMs() = 0;
    // The process's start, CPU time, memory and open files, as far as the
    // system tells; by default nothing.
    virtual ProcessFigures Process() { return ProcessFigures(); }
    virtual void SleepMs(int ms) = 0;
    // Sleeps about `us` microseconds where the system can; by default the
    // whole milliseconds that cover them.
    virtual void SleepMicros(std::uint32_t us) { SleepMs(static_cast<int>((us + 999u) / 1000u)); }

    // Event text for standard output, never waiting for its reader: takes
    // up to `length` bytes and returns how many it took (0 when the output
    // cannot take any now), or kIoError when the output is gone. The
    // default writes through stdio and waits.
    virtual int WriteOutput(const char* data, int length);
    // True while text WriteOutput took is still on its way out (a system
    // that writes it from a thread of its own).
    virtual bool OutputPending() { return false; }

    // Opens a file for binary reading while denying writers where the system
    // has share modes. Null when it cannot be opened.
    virtual std::FILE* OpenForReading(const char* path) = 0;

    // What tells a file's change: its size and its times of last change, as
    // finely as the system keeps them. Equal stamps: most likely unchanged.
    struct FileStamp {
        long long size;
        long long modified;
        long long changed;  // status change (permissions), where kept; else 0
        long long id;       // the file itself (inode), where kept; else 0
        bool operator==(const FileStamp& o) const {
            return size == o.size && modified == o.modified && changed == o.changed && id == o.id;
        }
        bool operator!=(const FileStamp& o) const { return !(*this == o); }
    };
    // The stamp of the file at `path`; false when there is none to be had.
    virtual bool StampFile(const char* /*path*/, FileStamp* /*stamp*/) { return false; }
    // Looks a host name up, waiting for the answer (DNS may take seconds):
    // for a thread of its own, never for the pass. Safe on any thread. True
    // with the first address, as text, in `address`; false with the
    // system's reason in `error`. Both buffers end with a NUL.
    virtual bool LookUpHost(const char* /*host*/, char* /*address*/, std::size_t /*addressSize*/,
                            char* error, std::size_t errorSize) {
        std::snprintf(error, errorSize, "host names are not looked up here");
        return false;
    }
};

// The platform the core talks to: the system's unless a test replaced it.
CPlatform& Platform();
// Replaces the platform (tests); null restores the system's.
void SetPlatform(CPlatform* platform);
// The implementation for the system this program was built for.
CPlatform& SystemPlatform();
