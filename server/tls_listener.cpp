#include "server/tls_listener.h"

#include <memory>
#include <new>
#include <string>

#include "console/console.h"
#include "server/tls_credentials.h"
#include "tls/tls_connection.h"

namespace {

// Accepts become TLS connections with the credentials in use at that moment.
// With client CAs, its clients are judged again when those change.
class CTlsMaker final : public CConnectionMaker {
  public:
    explicit CTlsMaker(const CTlsCredentials& credentials) : credentials_(credentials) {}
    std::unique_ptr<CConnection> Make(SocketHandle accepted) override {
        return CTlsConnection::Accept(credentials_.Current(), accepted);
    }
    const char* Kind() const override { return "tls"; }
    bool Pass(int elapsedMs) override {
        CTlsConnection::NewPass();
        return credentials_.Pass(elapsedMs);
    }
    bool Judges() const override { return credentials_.ClientCas(); }
    bool StillAccepted(const CConnection& connection) const override {
        // Every connection made here is a TLS one.
        return static_cast<const CTlsConnection&>(connection).VouchedFor(credentials_.Current());
    }

  private:
    CTlsCredentials credentials_;
};

}  // namespace

// The set the listeners of the server hold now; none once they are gone.
std::weak_ptr<CTlsCredentials::Shared> CTlsCredentials::inUse_;

bool CTlsCredentials::Open(const CSettings& settings) {
    TlsFiles files{settings.tlsCert, settings.tlsKey, settings.tlsCa};
    shared_ = inUse_.lock();
    if (shared_ != nullptr && (shared_->files.cert != files.cert ||
                               shared_->files.key != files.key || shared_->files.ca != files.ca)) {
        shared_.reset();
    }
    drives_ = shared_ == nullptr;
    clientCas_ = !files.ca.empty();
    if (shared_ == nullptr) {
        shared_ = std::make_shared<Shared>(files);
        std::string error;
        if (!shared_->context.Load(&error)) {
            ConsoleError("tovrel: TLS not set up: %s\n", error.c_str());
            shared_.reset();
            return false;
        }
        inUse_ = shared_;
    }
    seenCaChanges_ = shared_->caChanges;
    return true;
}

bool CTlsCredentials::Pass(int elapsedMs) {
    if (drives_ && shared_->context.Pass(elapsedMs) && clientCas_) {
        ++shared_->caChanges;
    }
    if (seenCaChanges_ == shared_->caChanges) {
        return false;
    }
    seenCaChanges_ = shared_->caChanges;
    return true;
}

bool TlsSupported() {
    return true;
}

bool OpenTlsListener(CServer& server, const CSettings& settings) {
    CTlsCredentials credentials;
    if (!credentials.Open(settings)) {
        return false;
    }
    std::unique_ptr<CConnectionMaker> maker(new CTlsMaker(credentials));
    if (!server.AddListener(0, static_cast<std::uint16_t>(settings.tlsPort), std::move(maker))) {
        ConsoleError("Can't open TLS at port %d!\n", settings.tlsPort);
        return false;
    }
    return true;
}
