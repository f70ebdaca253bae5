#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "tools/tool_net/tool_net.h"
#include "tools/tovrel_client/frame_io.h"
#include "tools/tovrel_client/options.h"
#include "tools/tovrel_client/tls_link.h"

using Clock = std::chrono::steady_clock;

// Milliseconds from now until `deadline`, never negative.
int MsUntil(Clock::time_point deadline);

// One connection to the server: frames out, frames in, and waits that end on
// a frame, standard input, an interrupt, the server's close or a time-out.
// Failures are printed to standard error here, once, in the tool's words.
class CSession {
  public:
    enum Event { kFrame, kInput, kTimeout, kClosed, kInterrupted, kBroken };

    CSession() = default;
    ~CSession();
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    // Connects; false (message printed) when the server cannot be reached.
    bool Open(const std::string& host, int port);
    // Connects to the options' host and port, with TLS when --tls is given,
    // then "@AUTH <token>" when a token was read.
    bool Open(const ClientOptions& options);
    // False (message printed) when the connection has failed.
    bool Send(const std::string& payload);
    // The next event within timeoutMs (negative: no limit). kFrame fills
    // *payload; kInput means ReadInput will not block (only when watchInput).
    Event Next(bool watchInput, int timeoutMs, std::string* payload);
    // Receives for timeoutMs, handing each frame to onFrame while it returns
    // true. kFrame once it returns false; otherwise the event that ended the
    // wait (kTimeout when the time is up).
    Event ReceiveFor(int timeoutMs, const std::function<bool(const std::string&)>& onFrame);
    // Ends our direction; the server closes once it has read everything.
    void EndSending();
    // Leaves politely: ends our direction, then reads and drops what still
    // comes until the server closes (at most timeoutMs), so that no reset
    // can cost the server the last frames we sent.
    void Finish(int timeoutMs);

    // Tagged messages from now on: frames may be longer by a position.
    void AllowTagged() { reader_.AllowUpTo(kMaxTaggedPayload); }

    const std::string& Peer() const { return peer_; }

  private:
    // One receive or send, through TLS when it is on.
    int ReceiveSome(void* buffer, int length);
    bool SendBytes(const void* data, std::size_t length);

    SocketHandle socket_ = INVALID_SOCKET;
    std::unique_ptr<CTlsLink> tls_;
    CFrameReader reader_;
    std::string peer_;  // "host:port" for messages
    bool sendClosed_ = false;
};
