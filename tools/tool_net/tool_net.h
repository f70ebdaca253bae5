#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

// The command-line tools' connection to a server and their console input,
// in blocking mode: a tool waits on one connection and standard input,
// unlike the server's non-blocking polling loop (CPlatform). Connect is
// shared; the rest has one implementation per system.
namespace toolnet {

// What Wait found ready; several bits may be set at once.
enum Ready : unsigned {
    kReadyNone = 0,
    kReadySocket = 1,     // Receive will not block
    kReadyInput = 2,      // ReadInput will not block
    kReadyInterrupt = 4,  // Ctrl+C, SIGINT or SIGTERM has arrived
};

// Starts the socket library and routes interrupts to Interrupted(). False
// with a message in *error when the system refuses.
bool Start(std::string* error);

// Connects to host:port, trying every IPv4 and IPv6 address the name has,
// each for at most timeoutMs. The socket is blocking. INVALID_SOCKET with a
// readable reason in *error when no address accepts.
SocketHandle Connect(const std::string& host, std::uint16_t port, int timeoutMs,
                     std::string* error);

// Sends every byte, blocking as long as it takes; false when the connection fails.
bool SendAll(SocketHandle s, const void* data, std::size_t length);
// Bytes received (> 0), 0 when the peer closed, negative on error (a reset included).
int Receive(SocketHandle s, void* buffer, int length);
// Ends our direction: the peer reads end-of-stream after everything sent.
void ShutdownSend(SocketHandle s);
void Close(SocketHandle s);

// Waits until the socket or (when watchInput) standard input is readable or
// an interrupt arrives, at most timeoutMs (negative: no limit). Returns the
// Ready bits; kReadyNone on time-out.
unsigned Wait(SocketHandle s, bool watchInput, int timeoutMs);
// Reads standard input once Wait reported it: bytes (> 0), 0 at its end,
// negative on error.
int ReadInput(void* buffer, int length);

// True once an interrupt has arrived.
bool Interrupted();

// Standard output without newline translation, so payloads print byte for byte.
void SetBinaryOutput();

}  // namespace toolnet
