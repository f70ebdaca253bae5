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
// from then on (connected clients keep their sessions), one that does not
// is refused with a console line and the set in use stays.
class CTlsContext {
  public:
    explicit CTlsContext(const TlsFiles& files);
    ~CTlsContext();
    CTlsContext(const CTlsContext&) = delete;
    CTlsContext& operator=(const CTlsContext&) = delete;

    // The first load; false with the reason in *error.
    bool Load(std::string* error);
    // Called once a pass; looks at the files every kTlsReloadCheckMs.
    void Pass(int elapsedMs);
    // Reads the files now and takes them when they changed and load.
    void CheckFiles();
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

    TlsFiles files_;
    SSL_CTX* current_;
    // What was last tried, loaded or not, and why the files could not be
    // read at the last look: each bad state is reported once.
    Contents tried_;
    std::string readError_;
    int sinceCheckMs_;
};

// A server context from PEM texts, or null with the reason in *error.
SSL_CTX* MakeServerContext(const std::string& certPem, const std::string& keyPem,
                           const std::string& caPem, std::string* error);
