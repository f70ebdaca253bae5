#include "tools/tovrel_client/session.h"

#include <cstdio>

namespace {
// How long a connection attempt to one address may take.
constexpr int kConnectTimeoutMs = 5000;
}  // namespace

int MsUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

CSession::~CSession() {
    tls_.reset();
    if (socket_ != INVALID_SOCKET) {
        toolnet::Close(socket_);
    }
}

bool CSession::Open(const std::string& host, int port) {
    // IPv6 addresses go in brackets so the port stays readable.
    peer_ = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
            std::to_string(port);
    std::string error;
    socket_ = toolnet::Connect(host, static_cast<std::uint16_t>(port), kConnectTimeoutMs, &error);
    if (socket_ == INVALID_SOCKET) {
        std::fprintf(stderr, "tovrel-client: cannot connect to %s: %s\n", peer_.c_str(),
                     error.c_str());
        return false;
    }
    return true;
}

bool CSession::Open(const ClientOptions& options) {
    if (options.tls && !ClientTlsSupported()) {
        std::fprintf(stderr, "tovrel-client: this build has no TLS support (--tls)\n");
        return false;
    }
    if (!Open(options.host, options.port)) {
        return false;
    }
    if (options.tls) {
        std::string error;
        tls_ = StartTls(socket_, options, kConnectTimeoutMs, &error);
        if (tls_ == nullptr) {
            std::fprintf(stderr, "tovrel-client: TLS with %s failed: %s\n", peer_.c_str(),
                         error.c_str());
            return false;
        }
    }
    // A server with a token file hears nothing else first.
    return options.token.empty() || Send("@AUTH " + options.token);
}

int CSession::ReceiveSome(void* buffer, int length) {
    return tls_ != nullptr ? tls_->Read(buffer, length) : toolnet::Receive(socket_, buffer, length);
}

bool CSession::SendBytes(const void* data, std::size_t length) {
    return tls_ != nullptr ? tls_->WriteAll(data, length) : toolnet::SendAll(socket_, data, length);
}

bool CSession::Send(const std::string& payload) {
    const std::string bytes = EncodeFrame(payload);
    if (!SendBytes(bytes.data(), bytes.size())) {
        std::fprintf(stderr, "tovrel-client: connection to %s lost while sending\n", peer_.c_str());
        return false;
    }
    return true;
}

CSession::Event CSession::Next(bool watchInput, int timeoutMs, std::string* payload) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        switch (reader_.Next(payload)) {
            case CFrameReader::kFrame:
                return kFrame;
            case CFrameReader::kBadLength:
                std::fprintf(stderr, "tovrel-client: %s sent a frame with an impossible length\n",
                             peer_.c_str());
                return kBroken;
            case CFrameReader::kNeedMore:
                break;
        }
        const int waitMs = timeoutMs < 0 ? -1 : MsUntil(deadline);
        // Bytes TLS has decrypted already are not on the socket any more.
        const bool buffered = tls_ != nullptr && tls_->Buffered();
        const unsigned ready =
            buffered ? unsigned{toolnet::kReadySocket} : toolnet::Wait(socket_, watchInput, waitMs);
        if (ready & toolnet::kReadyInterrupt) {
            return kInterrupted;
        }
        if (ready & toolnet::kReadySocket) {
            char buffer[65536];
            const int r = ReceiveSome(buffer, sizeof buffer);
            if (r > 0) {
                reader_.Feed(buffer, static_cast<std::size_t>(r));
                continue;
            }
            if (r < 0 && !sendClosed_) {
                if (tls_ != nullptr) {
                    std::fprintf(stderr, "tovrel-client: TLS connection to %s failed: %s\n",
                                 peer_.c_str(), tls_->Failure().c_str());
                } else {
                    std::fprintf(stderr, "tovrel-client: connection to %s was reset\n",
                                 peer_.c_str());
                }
                return kBroken;
            }
            return kClosed;  // a reset after our own end counts as the close we asked for
        }
        if (ready & toolnet::kReadyInput) {
            return kInput;
        }
        if (timeoutMs >= 0 && MsUntil(deadline) == 0) {
            return kTimeout;
        }
    }
}

CSession::Event CSession::ReceiveFor(int timeoutMs,
                                     const std::function<bool(const std::string&)>& onFrame) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string payload;
    for (;;) {
        const Event e = Next(false, MsUntil(deadline), &payload);
        if (e != kFrame || !onFrame(payload)) {
            return e;
        }
    }
}

void CSession::EndSending() {
    if (socket_ != INVALID_SOCKET && !sendClosed_) {
        if (tls_ != nullptr) {
            tls_->Shutdown();
        }
        toolnet::ShutdownSend(socket_);
        sendClosed_ = true;
    }
}

void CSession::Finish(int timeoutMs) {
    if (socket_ == INVALID_SOCKET) {
        return;
    }
    EndSending();
    ReceiveFor(timeoutMs, [](const std::string&) { return true; });
    tls_.reset();
    toolnet::Close(socket_);
    socket_ = INVALID_SOCKET;
}
