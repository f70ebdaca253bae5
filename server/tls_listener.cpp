#include "server/tls_listener.h"

#include <memory>
#include <new>
#include <string>

#include "console/console.h"
#include "tls/tls_connection.h"
#include "tls/tls_context.h"

namespace {

// Accepts become TLS connections with the credentials in use at that moment.
// With client CAs, its clients are judged again when those change.
class CTlsMaker final : public CConnectionMaker {
  public:
    CTlsMaker(std::unique_ptr<CTlsContext> context, bool clientCas)
        : context_(std::move(context)), clientCas_(clientCas) {}
    std::unique_ptr<CConnection> Make(SocketHandle accepted) override {
        return CTlsConnection::Accept(context_->Current(), accepted);
    }
    const char* Kind() const override { return "tls"; }
    bool Pass(int elapsedMs) override {
        CTlsConnection::NewPass();
        return context_->Pass(elapsedMs) && clientCas_;
    }
    bool Judges() const override { return clientCas_; }
    bool StillAccepted(const CConnection& connection) const override {
        // Every connection made here is a TLS one.
        return static_cast<const CTlsConnection&>(connection).VouchedFor(context_->Current());
    }

  private:
    std::unique_ptr<CTlsContext> context_;
    const bool clientCas_;
};

}  // namespace

bool TlsSupported() {
    return true;
}

bool OpenTlsListener(CServer& server, const CSettings& settings) {
    std::unique_ptr<CTlsContext> context(
        new CTlsContext(TlsFiles{settings.tlsCert, settings.tlsKey, settings.tlsCa}));
    std::string error;
    if (!context->Load(&error)) {
        ConsoleError("tovrel: TLS not set up: %s\n", error.c_str());
        return false;
    }
    std::unique_ptr<CConnectionMaker> maker(
        new CTlsMaker(std::move(context), !settings.tlsCa.empty()));
    if (!server.AddListener(0, static_cast<std::uint16_t>(settings.tlsPort), std::move(maker))) {
        ConsoleError("Can't open TLS at port %d!\n", settings.tlsPort);
        return false;
    }
    return true;
}
