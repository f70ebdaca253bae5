#pragma once

#include <memory>
#include <string>
#include <vector>

#include "connection/connection.h"
#include "metrics/counters.h"
#include "policy/handshake_budget.h"

// What an accepted socket becomes on one listener: plain TCP, TLS, a
// WebSocket. The server accepts on each of its listeners alike and hands
// the socket to its maker; nothing else knows the kind.
class CConnectionMaker {
  public:
    virtual ~CConnectionMaker() {}
    // The connection for a freshly accepted non-blocking socket, which it
    // now owns; null, with the socket closed, when it cannot be made. A
    // connection with a costly handshake takes its steps from `handshakes`,
    // the pass's budget, which outlives every connection.
    virtual std::unique_ptr<CConnection> Make(SocketHandle accepted,
                                              CHandshakeBudget& handshakes) = 0;
    // The listener's kind, for the counters.
    virtual ListenerKind Kind() const = 0;
    // Once a pass, with the milliseconds since the last: for what a kind
    // looks after over time (TLS reloads its certificate). True when the
    // connections it made must be judged again (StillAccepted): the TLS
    // client CAs changed.
    virtual bool Pass(int /*elapsedMs*/) { return false; }
    // Whether StillAccepted may ever say no: the server keeps the clients
    // of such a kind apart, to judge them when it asks.
    virtual bool Judges() const { return false; }
    // Whether a connection it made, once established, is still let in: its
    // TLS client certificate verifies against the client CAs in use.
    virtual bool StillAccepted(const CConnection& /*connection*/) const { return true; }
    // The pages allowed to open a WebSocket from now on (empty: any), for
    // the kinds that upgrade; the others ignore it.
    virtual void SetOrigins(const std::vector<std::string>& /*origins*/) {}
};

// The plain TCP kind, the one `tovrel <port>` listens with.
class CTcpMaker final : public CConnectionMaker {
  public:
    std::unique_ptr<CConnection> Make(SocketHandle accepted, CHandshakeBudget&) override;
    ListenerKind Kind() const override { return ListenerKind::kTcp; }
};
