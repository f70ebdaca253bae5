#include <memory>
#include <new>
#include <string>

#include "console/console.h"
#include "server/tls_credentials.h"
#include "server/wss_listener.h"
#include "tls/tls_connection.h"
#include "websocket/websocket_connection.h"

namespace {

// Accepts become WebSocket connections over TLS: the TLS handshake first,
// then the upgrade, with the credentials in use at that moment. With client
// CAs, its clients are judged again when those change.
class CWssMaker final : public CConnectionMaker {
  public:
    CWssMaker(const CTlsCredentials& credentials, const std::vector<std::string>& origins)
        : credentials_(credentials), origins_(origins) {}
    std::unique_ptr<CConnection> Make(SocketHandle accepted) override {
        std::unique_ptr<CConnection> tls = CTlsConnection::Accept(credentials_.Current(), accepted);
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
        return credentials_.Pass(elapsedMs);
    }
    bool Judges() const override { return credentials_.ClientCas(); }
    bool StillAccepted(const CConnection& connection) const override {
        // Every connection made here is a WebSocket one over TLS.
        const CConnection& tls = static_cast<const CWebSocketConnection&>(connection).Transport();
        return static_cast<const CTlsConnection&>(tls).VouchedFor(credentials_.Current());
    }

  private:
    CTlsCredentials credentials_;
    // Outlives every connection made here: the server deletes its clients
    // before its listeners.
    const std::vector<std::string> origins_;
};

}  // namespace

bool WssSupported() {
    return true;
}

bool OpenWssListener(CServer& server, const CSettings& settings) {
    CTlsCredentials credentials;
    if (!credentials.Open(settings)) {
        return false;
    }
    std::unique_ptr<CConnectionMaker> maker(new CWssMaker(credentials, settings.wsOrigins));
    if (!server.AddListener(0, static_cast<std::uint16_t>(settings.wssPort), std::move(maker))) {
        ConsoleError("Can't open WebSocket TLS port %d!\n", settings.wssPort);
        return false;
    }
    return true;
}
