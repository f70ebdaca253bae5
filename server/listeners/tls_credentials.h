#pragma once

#include <memory>

#include "server/listeners/kinds.h"
#include "tls/tls_context.h"

// What the TLS listeners share: the context loaded from the files, and how
// often its client CAs have changed. Made once by LoadTlsCredentials.
class CTlsCredentials {
  public:
    explicit CTlsCredentials(const TlsFiles& files)
        : context(files), clientCas(!files.ca.empty()) {}
    CTlsContext context;
    // Whether clients must present a certificate (--tls-ca).
    const bool clientCas;
    unsigned caChanges = 0;
    // Whether one listener looks at the files already.
    bool watched = false;
};

// One listener's hold on the shared credentials. The first one made drives
// the look at the files; each learns of a change of client CAs once, at its
// next Pass, so a change is looked at, said on the console and judged once.
class CTlsUse {
  public:
    explicit CTlsUse(std::shared_ptr<CTlsCredentials> credentials);
    // Once a pass, from the listener's Pass: true once after each change of
    // the client CAs, with --tls-ca.
    bool Pass(int elapsedMs);
    // What new handshakes use.
    SSL_CTX* Current() const { return credentials_->context.Current(); }
    bool ClientCas() const { return credentials_->clientCas; }

  private:
    std::shared_ptr<CTlsCredentials> credentials_;
    bool drives_;
    unsigned seenCaChanges_;
};
