#pragma once

#include <memory>
#include <string>

#include "connection/tcp_connection.h"
#include "server/listeners/connection_maker.h"

// A connection that draws everything its socket has at once and hands it
// out at most `share` bytes a receive, holding the rest (Pending), as a TLS
// connection holds decrypted records: what it holds the socket no longer
// announces.
class HoldingConnection final : public CConnection {
  public:
    HoldingConnection(SocketHandle s, int share) : tcp_(s), share_(share) {}
    SocketHandle Socket() const override { return tcp_.Socket(); }
    int Receive(void* buffer, int length) override {
        char drawn[4096];
        int got;
        while ((got = tcp_.Receive(drawn, sizeof drawn)) > 0) {
            held_.append(drawn, static_cast<size_t>(got));
        }
        if (held_.empty()) {
            return got;
        }
        int count = static_cast<int>(held_.size());
        count = count < length ? count : length;
        count = count < share_ ? count : share_;
        held_.copy(static_cast<char*>(buffer), static_cast<size_t>(count));
        held_.erase(0, static_cast<size_t>(count));
        return count;
    }
    int Send(const SendSlice* slices, int count) override { return tcp_.Send(slices, count); }
    void Close(bool discard) override { tcp_.Close(discard); }
    const CEncoding& Encoding() const override { return tcp_.Encoding(); }
    bool Pending() const override { return !held_.empty(); }

  private:
    CTcpConnection tcp_;
    int share_;
    std::string held_;
};

class HoldingMaker final : public CConnectionMaker {
  public:
    explicit HoldingMaker(int share) : share_(share) {}
    std::unique_ptr<CConnection> Make(SocketHandle accepted, CHandshakeBudget&) override {
        return std::unique_ptr<CConnection>(new HoldingConnection(accepted, share_));
    }
    ListenerKind Kind() const override { return ListenerKind::kTls; }

  private:
    int share_;
};
