#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "tools/tovrel_client/options.h"

// The client's side of TLS over a connected blocking socket: the server's
// certificate is checked against --ca (or the system's CAs) and the host
// name or address; --cert and --key are presented when the server asks.
class CTlsLink {
  public:
    virtual ~CTlsLink() {}
    // Bytes received (> 0), 0 when the server closed, negative on error.
    virtual int Read(void* buffer, int length) = 0;
    // Sends every byte; false when the connection fails.
    virtual bool WriteAll(const void* data, std::size_t length) = 0;
    // Decrypted bytes wait that a wait on the socket would not see.
    virtual bool Buffered() const = 0;
    // Why the last Read failed, in OpenSSL's words (a refusing server's alert).
    virtual std::string Failure() const = 0;
    // Says goodbye (close_notify); the socket stays the caller's.
    virtual void Shutdown() = 0;
};

// Whether this build speaks TLS.
bool ClientTlsSupported();
// Runs the handshake on `socket` (still the caller's) within timeoutMs; null
// with the reason in *error when it fails.
std::unique_ptr<CTlsLink> StartTls(SocketHandle socket, const ClientOptions& options, int timeoutMs,
                                   std::string* error);
