#include <memory>
#include <string>

#include "server/listeners/tls_credentials.h"
#include "tls/tls_connection.h"
#include "tls/tls_heap.h"

namespace {

// Accepts become TLS connections with the credentials in use at that moment.
class CTlsMaker final : public CConnectionMaker {
  public:
    explicit CTlsMaker(std::shared_ptr<CTlsCredentials> credentials)
        : tls_(std::move(credentials)) {}
    std::unique_ptr<CConnection> Make(SocketHandle accepted,
                                      CHandshakeBudget& handshakes) override {
        return CTlsConnection::Accept(tls_.Current(), handshakes, accepted);
    }
    ListenerKind Kind() const override { return ListenerKind::kTls; }
    bool Pass(int elapsedMs) override { return tls_.Pass(elapsedMs); }
    bool Judges() const override { return tls_.ClientCas(); }
    bool StillAccepted(const CConnection& connection) const override {
        // Every connection made here is a TLS one.
        return static_cast<const CTlsConnection&>(connection).VouchedFor(tls_.Current());
    }

  private:
    CTlsUse tls_;
};

}  // namespace

CTlsUse::CTlsUse(std::shared_ptr<CTlsCredentials> credentials)
    : credentials_(std::move(credentials)),
      drives_(!credentials_->watched),
      seenCaChanges_(credentials_->caChanges) {
    credentials_->watched = true;
}

bool CTlsUse::Pass(int elapsedMs) {
    if (drives_ && credentials_->context.Pass(elapsedMs) && credentials_->clientCas) {
        ++credentials_->caChanges;
    }
    if (seenCaChanges_ == credentials_->caChanges) {
        return false;
    }
    seenCaChanges_ = credentials_->caChanges;
    return true;
}

bool TlsSupported() {
    return true;
}

void CountOpenSslHeap() {
    CountTlsHeap();
}

long long OpenSslHeapShared() {
    return TlsHeapOutsideConnections();
}

std::shared_ptr<CTlsCredentials> LoadTlsCredentials(const std::string& cert, const std::string& key,
                                                    const std::string& ca, std::string* error) {
    auto credentials = std::make_shared<CTlsCredentials>(TlsFiles{cert, key, ca});
    if (!credentials->context.Load(error)) {
        return nullptr;
    }
    return credentials;
}

void ReplaceTlsCredentials(CTlsCredentials& inUse, CTlsCredentials& loaded) {
    if (inUse.context.Take(loaded.context) && inUse.clientCas) {
        ++inUse.caChanges;
    }
}

std::unique_ptr<CConnectionMaker> MakeTlsMaker(std::shared_ptr<CTlsCredentials> credentials) {
    return std::unique_ptr<CConnectionMaker>(new CTlsMaker(std::move(credentials)));
}
