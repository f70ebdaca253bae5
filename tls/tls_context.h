#pragma once

#include <string>

typedef struct ssl_ctx_st SSL_CTX;

// The files a TLS listener is set up from: its certificate chain and key
// (PEM), and optionally the CA every client certificate must be signed by.
struct TlsFiles {
    std::string cert;
    std::string key;
    std::string ca;  // empty: clients present no certificate
};

// How often the files are looked at for a new certificate.
constexpr int kTlsReloadCheckMs = 5000;
// Largest file taken as a certificate, key or CA list.
constexpr long kTlsMaxFileBytes = 1 << 20;

// The server's side of TLS: what it presents and what it asks of clients,
// for TLS 1.2 and 1.3 with OpenSSL's default ciphers. The files are read
// again every few seconds; a changed set that loads serves every handshake
// from then on (connected clients keep their sessions, unless the client
// CAs changed: the caller then judges them again), one that does not is
// refused with a console line and the set in use stays.
class CTlsContext {
  public:
    explicit CTlsContext(const TlsFiles& files);
    ~CTlsContext();
    CTlsContext(const CTlsContext&) = delete;
    CTlsContext& operator=(const CTlsContext&) = delete;

    // The first load; false with the reason in *error.
    bool Load(std::string* error);
    // Called once a pass; looks at the files every kTlsReloadCheckMs. True
    // when it took a set whose client CAs differ from those in use before.
    bool Pass(int elapsedMs);
    // Reads the files now and takes them when they changed and load; true
    // as Pass says it.
    bool CheckFiles();
    // Takes the files and the set that `loaded` (loaded with success) holds,
    // leaving it empty; true when its client CAs differ from those in use.
    bool Take(CTlsContext& loaded);
    // What new handshakes use; null before a successful Load.
    SSL_CTX* Current() const { return current_; }

  private:
    struct Contents {
        std::string cert, key, ca;
        bool operator==(const Contents& o) const {
            return cert == o.cert && key == o.key && ca == o.ca;
        }
    };
    // Reads all three files; false with the reason in *error.
    bool Read(Contents* contents, std::string* error) const;
    // The client CAs of `contents` when --tls-ca was given, whatever the
    // file holds; null without it.
    const std::string* ClientCas(const Contents& contents) const;

    TlsFiles files_;
    SSL_CTX* current_;
    // What was last tried, loaded or not, and why the files could not be
    // read at the last look: each bad state is reported once.
    Contents tried_;
    std::string readError_;
    // The client CAs of the set in use.
    std::string caInUse_;
    int sinceCheckMs_;
};

// A server context from PEM texts, or null with the reason in *error. With
// `caPem`, every client must present a certificate from one of its CAs, and
// a text that holds none is an error; null asks clients for nothing.
SSL_CTX* MakeServerContext(const std::string& certPem, const std::string& keyPem,
                           const std::string* caPem, std::string* error);
