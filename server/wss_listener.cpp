#include <memory>
#include <new>
#include <string>

#include "console/console.h"
#include "server/wss_listener.h"
#include "tls/tls_connection.h"
#include "tls/tls_context.h"
#include "websocket/websocket_connection.h"

namespace {

// Accepts become WebSocket connections over TLS: the TLS handshake first,
// then the upgrade, with the credentials in use at that moment. With client
// CAs, its clients are judged again when those change.
class CWssMaker final : public CConnectionMaker {
  public:
    CWssMaker(std::unique_ptr<CTlsContext> context, const std::vector<std::string>& origins,
              bool clientCas)
        : context_(std::move(context)), origins_(origins), clientCas_(clientCas) {}
    std::unique_ptr<CConnection> Make(SocketHandle accepted) override {
        std::unique_ptr<CConnection> tls = CTlsConnection::Accept(context_->Current(), accepted);
        if (tls == nullptr) {
            return nullptr;  // closed already
        }
        // A refused allocation destroys `tls`, which closes the socket.
        return std::unique_ptr<CConnection>(new (std::nothrow)
                                                CWebSocketConnection(std::move(tls), origins_));
    }
    const char* Kind() const override { return "wss"; }
    bool Pass(int elapsedMs) override {
        CTlsConnection::NewPass();
        return context_->Pass(elapsedMs) && clientCas_;
    }
    bool Judges() const override { return clientCas_; }
    bool StillAccepted(const CConnection& connection) const override {
        // Every connection made here is a WebSocket one over TLS.
        const CConnection& tls = static_cast<const CWebSocketConnection&>(connection).Transport();
        return static_cast<const CTlsConnection&>(tls).VouchedFor(context_->Current());
    }

  private:
    std::unique_ptr<CTlsContext> context_;
    // Outlives every connection made here: the server deletes its clients
    // before its listeners.
    const std::vector<std::string> origins_;
    const bool clientCas_;
};

}  // namespace

bool WssSupported() {
    return true;
}

bool OpenWssListener(CServer& server, const CSettings& settings) {
    std::unique_ptr<CTlsContext> context(
        new CTlsContext(TlsFiles{settings.tlsCert, settings.tlsKey, settings.tlsCa}));
    std::string error;
    if (!context->Load(&error)) {
        ConsoleError("tovrel: TLS not set up: %s\n", error.c_str());
        return false;
    }
    std::unique_ptr<CConnectionMaker> maker(
        new CWssMaker(std::move(context), settings.wsOrigins, !settings.tlsCa.empty()));
    if (!server.AddListener(0, static_cast<std::uint16_t>(settings.wssPort), std::move(maker))) {
        ConsoleError("Can't open WebSocket TLS port %d!\n", settings.wssPort);
        return false;
    }
    return true;
}
