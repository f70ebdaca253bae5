#include "tools/tovrel_client/tls_link.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

namespace {

std::string LastError(const char* otherwise) {
    unsigned long code = ERR_peek_last_error();
    char text[256];
    if (code == 0) {
        return otherwise;
    }
    ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return text;
}

void SetTimeouts(int fd, int timeoutMs) {
    timeval tv;
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool IsAddress(const std::string& host) {
    return host.find_first_not_of("0123456789.") == std::string::npos ||
           host.find(':') != std::string::npos;
}

class COpenSslLink final : public CTlsLink {
  public:
    COpenSslLink(SSL_CTX* ctx, SSL* ssl) : ctx_(ctx), ssl_(ssl) {}
    ~COpenSslLink() override {
        SSL_free(ssl_);
        SSL_CTX_free(ctx_);
    }
    int Read(void* buffer, int length) override {
        for (;;) {
            ERR_clear_error();
            int r = SSL_read(ssl_, buffer, length);
            if (r > 0) {
                return r;
            }
            int error = SSL_get_error(ssl_, r);
            if (error == SSL_ERROR_ZERO_RETURN) {
                return 0;
            }
            if (error == SSL_ERROR_SYSCALL && errno == EINTR) {
                continue;
            }
            if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
                continue;  // a record with no application data (a ticket)
            }
            failure_ = LastError("connection reset");
            return -1;
        }
    }
    std::string Failure() const override { return failure_; }
    bool WriteAll(const void* data, std::size_t length) override {
        const char* p = static_cast<const char*>(data);
        while (length > 0) {
            ERR_clear_error();
            int chunk = length > (1u << 30) ? (1 << 30) : static_cast<int>(length);
            int r = SSL_write(ssl_, p, chunk);
            if (r <= 0) {
                return false;
            }
            p += r;
            length -= static_cast<std::size_t>(r);
        }
        return true;
    }
    bool Buffered() const override { return SSL_pending(ssl_) > 0; }
    void Shutdown() override { SSL_shutdown(ssl_); }

  private:
    SSL_CTX* ctx_;
    SSL* ssl_;
    std::string failure_;
};

}  // namespace

bool ClientTlsSupported() {
    return true;
}

std::unique_ptr<CTlsLink> StartTls(SocketHandle socket, const ClientOptions& options, int timeoutMs,
                                   std::string* error) {
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) {
        *error = LastError("no TLS context");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_mode(ctx, SSL_MODE_AUTO_RETRY);
    // A server that closes without close_notify has still closed.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    bool trusted = options.caFile.empty()
                       ? SSL_CTX_set_default_verify_paths(ctx) == 1
                       : SSL_CTX_load_verify_locations(ctx, options.caFile.c_str(), nullptr) == 1;
    if (!trusted) {
        *error = "cannot load the CA file " + options.caFile + ": " + LastError("unreadable");
        SSL_CTX_free(ctx);
        return nullptr;
    }
    if (!options.certFile.empty()) {
        if (SSL_CTX_use_certificate_chain_file(ctx, options.certFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(ctx, options.keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(ctx) != 1) {
            *error = "cannot load the client certificate and key: " + LastError("unreadable");
            SSL_CTX_free(ctx);
            return nullptr;
        }
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL* ssl = SSL_new(ctx);
    if (ssl == nullptr) {
        *error = LastError("no TLS connection");
        SSL_CTX_free(ctx);
        return nullptr;
    }
    std::unique_ptr<CTlsLink> link(new COpenSslLink(ctx, ssl));
    // The server's certificate must name the host we asked for.
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    if (IsAddress(options.host)) {
        X509_VERIFY_PARAM_set1_ip_asc(param, options.host.c_str());
    } else {
        X509_VERIFY_PARAM_set1_host(param, options.host.c_str(), 0);
        SSL_set_tlsext_host_name(ssl, options.host.c_str());
    }
    const int fd = static_cast<int>(socket);
    SSL_set_fd(ssl, fd);
    SetTimeouts(fd, timeoutMs);
    ERR_clear_error();
    int r = SSL_connect(ssl);
    SetTimeouts(fd, 0);
    if (r != 1) {
        long verified = SSL_get_verify_result(ssl);
        if (verified != X509_V_OK) {
            *error = std::string("server certificate not trusted: ") +
                     X509_verify_cert_error_string(verified);
        } else {
            *error = "TLS handshake failed: " + LastError(errno == EAGAIN || errno == EWOULDBLOCK
                                                              ? "no answer (timed out)"
                                                              : "the server closed the connection");
        }
        return nullptr;
    }
    return link;
}
