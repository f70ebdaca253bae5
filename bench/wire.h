#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "server_process.h"

// What the bytes at the front of a connection's input hold.
struct WireEvent {
    enum class Kind {
        kNeedMore,  // not all there yet
        kMessage,   // a relayed message: `payload`, `length`
        kReady,     // the server confirmed the subscription
        kAnswer,    // the server wants `payload`, `length` sent back (a keep-alive)
        kOther,     // anything else the server may say; skipped
        kBad,       // an error or bytes out of step; the connection is lost
    };
    Kind kind;
    std::size_t consumed;  // bytes to take off the front (not for kNeedMore, kBad)
    const unsigned char* payload;
    std::size_t length;
};

// How the bench speaks one relay's protocol: what a new connection sends
// first, how a message is published, and how received bytes are cut into
// messages. Cut is pure: it reads the bytes and allocates nothing.
class Wire {
  public:
    // A bench client has one connection of each role in Roles(), the first
    // of which receives; Redis needs a second one to publish on.
    enum class Role { kBoth, kSubscriber, kPublisher };

    virtual ~Wire() = default;
    virtual std::vector<Role> Roles() const { return {Role::kBoth}; }
    virtual void AppendHello(std::string&, Role) const {}
    virtual void AppendPublish(std::string& out, const std::string& payload) const = 0;
    virtual WireEvent Cut(const unsigned char* bytes, std::size_t available, Role role) const = 0;
    // True when only the server's console tells that a connection is taken
    // (its accept lines); otherwise Cut reports kReady.
    virtual bool ReadyFromConsole() const { return false; }
    // What keeps a quiet tovrel client from its idle drop: a message relayed
    // to nobody (an empty one).
    virtual void AppendKeepAlive(std::string& out) const { AppendPublish(out, std::string()); }
    // Wraps bytes the client sends on its own (an answer to a keep-alive)
    // as the transport needs: as they are, or in a WebSocket frame.
    virtual void AppendRaw(std::string& out, const unsigned char* bytes, std::size_t length) const {
        out.append(reinterpret_cast<const char*>(bytes), length);
    }
    // True when the protocol rides in WebSocket frames that may split or
    // join its messages (NATS): the connection takes the frames off, after
    // the HTTP answer, and Cut sees the bare protocol.
    virtual bool Unframes() const { return false; }
    // What such a client sends once the upgrade is answered (a WebSocket
    // client may send nothing before).
    virtual void AppendAfterUpgrade(std::string&, Role) const {}
};

// Length-prefixed frames: tovrel, the floor relay and ncat --broker.
std::unique_ptr<Wire> MakeFramedWire();
// NATS text protocol: CONNECT, SUB, PUB and MSG on one subject, verbose off, echo on.
std::unique_ptr<Wire> MakeNatsWire();
// RESP: SUBSCRIBE on one connection, PUBLISH on another, one channel.
std::unique_ptr<Wire> MakeRedisWire();

// tovrel's WebSocket clients: one message per WebSocket frame.
std::unique_ptr<Wire> MakeWebSocketWire();
// NATS over nats-server's WebSocket listener.
std::unique_ptr<Wire> MakeNatsWebSocketWire();

std::unique_ptr<Wire> MakeWire(ServerProcess::Kind kind);

// WebSocket, as a client speaks it: the upgrade request; a frame with a
// zero mask key (so the payload goes as it is); and the length of the
// server's frame at the front of `bytes` (header and payload), 0 while not
// all there, with its opcode and payload.
void AppendUpgrade(std::string& out);
void AppendClientFrame(std::string& out, int opcode, const unsigned char* bytes,
                       std::size_t length);
std::size_t CutServerFrame(const unsigned char* bytes, std::size_t available, int* opcode,
                           const unsigned char** payload, std::size_t* length);
// The length of the HTTP answer at the front (through its blank line), 0
// while not all there; *upgraded tells a 101.
std::size_t CutHttpAnswer(const unsigned char* bytes, std::size_t available, bool* upgraded);

// Where the line that starts at `bytes` ends: the index of its "\r\n",
// kLineIncomplete when that is not all there yet, kLineBroken for a bare '\n'.
constexpr std::size_t kLineIncomplete = ~std::size_t{0};
constexpr std::size_t kLineBroken = kLineIncomplete - 1;
std::size_t LineEnd(const unsigned char* bytes, std::size_t available);
// The decimal number in [begin, end), or -1 when it is not one.
long long ParseDecimal(const unsigned char* begin, const unsigned char* end);
