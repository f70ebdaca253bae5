#pragma once

#include <memory>

#include "server/settings.h"
#include "tls/tls_context.h"

// What a TLS listener (--tls-port, --wss-port) presents and asks of its
// clients. The listeners of one server share one set, so a change of the
// files is looked at, said on the console and judged once: the first
// listener made drives the look at the files, and each one learns of a
// change of client CAs at its next Pass.
class CTlsCredentials {
  public:
    // The set the settings name: the one in use by another listener of the
    // same files, or a new one, loaded now. False, with the reason on
    // standard error, when the files do not load.
    bool Open(const CSettings& settings);
    // Once a pass, from the listener's Pass: true once after each change of
    // the client CAs, with --tls-ca.
    bool Pass(int elapsedMs);
    // What new handshakes use.
    SSL_CTX* Current() const { return shared_->context.Current(); }
    // Whether clients must present a certificate (--tls-ca).
    bool ClientCas() const { return clientCas_; }

  private:
    struct Shared {
        explicit Shared(const TlsFiles& files) : files(files), context(files) {}
        const TlsFiles files;
        CTlsContext context;
        unsigned caChanges = 0;
    };
    static std::weak_ptr<Shared> inUse_;
    std::shared_ptr<Shared> shared_;
    bool drives_ = false;
    bool clientCas_ = false;
    unsigned seenCaChanges_ = 0;
};
