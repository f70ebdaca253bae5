#include "tls/tls_context.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdio>

#include "console/console.h"
#include "platform/platform.h"

namespace {

// The reason OpenSSL gives for its last error, or `otherwise`.
std::string Reason(const char* otherwise) {
    unsigned long code = ERR_peek_last_error();
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason != nullptr ? std::string(otherwise) + " (" + reason + ")" : otherwise;
}

BIO* PemSource(const std::string& pem) {
    return BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
}

// The certificate chain: the first certificate is the server's, the others
// go with it to the client.
bool UseChain(SSL_CTX* ctx, const std::string& pem, std::string* error) {
    BIO* source = PemSource(pem);
    X509* leaf = source != nullptr ? PEM_read_bio_X509(source, nullptr, nullptr, nullptr) : nullptr;
    bool ok = leaf != nullptr && SSL_CTX_use_certificate(ctx, leaf) == 1;
    X509_free(leaf);
    if (!ok) {
        *error = Reason("no certificate in the --tls-cert file");
    }
    while (ok) {
        X509* more = PEM_read_bio_X509(source, nullptr, nullptr, nullptr);
        if (more == nullptr) {
            ERR_clear_error();  // the end of the file
            break;
        }
        if (SSL_CTX_add0_chain_cert(ctx, more) != 1) {
            X509_free(more);
            *error = Reason("a certificate of the --tls-cert chain is refused");
            ok = false;
        }
    }
    BIO_free(source);
    return ok;
}

bool UseKey(SSL_CTX* ctx, const std::string& pem, std::string* error) {
    BIO* source = PemSource(pem);
    // No passphrase prompt: an encrypted key is refused.
    EVP_PKEY* key = source != nullptr
                        ? PEM_read_bio_PrivateKey(
                              source, nullptr, [](char*, int, int, void*) { return 0; }, nullptr)
                        : nullptr;
    BIO_free(source);
    if (key == nullptr) {
        *error = Reason("no unencrypted private key in the --tls-key file");
        return false;
    }
    bool ok = SSL_CTX_use_PrivateKey(ctx, key) == 1 && SSL_CTX_check_private_key(ctx) == 1;
    EVP_PKEY_free(key);
    if (!ok) {
        *error = Reason("the --tls-key key does not match the --tls-cert certificate");
        return false;
    }
    return true;
}

// Every client must present a certificate signed by one of these.
bool RequireClientCertificates(SSL_CTX* ctx, const std::string& pem, std::string* error) {
    BIO* source = PemSource(pem);
    X509_STORE* store = SSL_CTX_get_cert_store(ctx);
    STACK_OF(X509_NAME)* names = sk_X509_NAME_new_null();
    int count = 0;
    bool ok = source != nullptr && names != nullptr;
    while (ok) {
        X509* ca = PEM_read_bio_X509(source, nullptr, nullptr, nullptr);
        if (ca == nullptr) {
            ERR_clear_error();
            break;
        }
        X509_NAME* name = X509_NAME_dup(X509_get_subject_name(ca));
        ok = X509_STORE_add_cert(store, ca) == 1 && name != nullptr &&
             sk_X509_NAME_push(names, name) > 0;
        if (!ok) {
            X509_NAME_free(name);
        }
        X509_free(ca);
        ++count;
    }
    BIO_free(source);
    if (!ok || count == 0) {
        sk_X509_NAME_pop_free(names, X509_NAME_free);
        *error = Reason("no CA certificate in the --tls-ca file");
        return false;
    }
    SSL_CTX_set_client_CA_list(ctx, names);  // the context owns the names now
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    return true;
}

}  // namespace

SSL_CTX* MakeServerContext(const std::string& certPem, const std::string& keyPem,
                           const std::string* caPem, std::string* error) {
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr) {
        *error = Reason("OpenSSL made no context");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
    // No renegotiation (a client could make the server work at will), no
    // sessions kept or resumed: every client does a full handshake.
    SSL_CTX_set_options(
        ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET | SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 0);
    // A record the socket did not take is written again from the queue,
    // whose bytes may sit elsewhere by then; buffers of idle connections
    // are given back; a read takes what the socket has, not one record.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                              SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_read_ahead(ctx, 1);
    bool ok = UseChain(ctx, certPem, error) && UseKey(ctx, keyPem, error) &&
              (caPem == nullptr || RequireClientCertificates(ctx, *caPem, error));
    if (!ok) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

CTlsContext::CTlsContext(const TlsFiles& files)
    : files_(files), current_(nullptr), sinceCheckMs_(0) {}

CTlsContext::~CTlsContext() {
    SSL_CTX_free(current_);  // connections still open hold their own reference
}

const std::string* CTlsContext::ClientCas(const Contents& contents) const {
    return files_.ca.empty() ? nullptr : &contents.ca;
}

bool CTlsContext::Read(Contents* contents, std::string* error) const {
    struct Source {
        const std::string& path;
        std::string* into;
        const char* option;
    };
    const Source sources[] = {{files_.cert, &contents->cert, "--tls-cert"},
                              {files_.key, &contents->key, "--tls-key"},
                              {files_.ca, &contents->ca, "--tls-ca"}};
    for (const Source& s : sources) {
        s.into->clear();
        if (s.path.empty()) {
            continue;
        }
        std::FILE* file = Platform().OpenForReading(s.path.c_str());
        if (file == nullptr) {
            *error = std::string("cannot read the ") + s.option + " file " + s.path;
            return false;
        }
        char chunk[4096];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            s.into->append(chunk, got);
            if (static_cast<long>(s.into->size()) > kTlsMaxFileBytes) {
                break;
            }
        }
        std::fclose(file);
        if (static_cast<long>(s.into->size()) > kTlsMaxFileBytes) {
            *error = std::string("the ") + s.option + " file " + s.path + " is over 1 MiB";
            return false;
        }
    }
    return true;
}

bool CTlsContext::Load(std::string* error) {
    Contents contents;
    if (!Read(&contents, error)) {
        return false;
    }
    SSL_CTX* ctx = MakeServerContext(contents.cert, contents.key, ClientCas(contents), error);
    if (ctx == nullptr) {
        return false;
    }
    SSL_CTX_free(current_);
    current_ = ctx;
    tried_ = contents;
    caInUse_ = contents.ca;
    return true;
}

bool CTlsContext::Take(CTlsContext& loaded) {
    bool casChanged = loaded.caInUse_ != caInUse_;
    SSL_CTX_free(current_);
    current_ = loaded.current_;
    loaded.current_ = nullptr;
    files_ = loaded.files_;
    tried_ = loaded.tried_;
    caInUse_ = loaded.caInUse_;
    readError_.clear();
    sinceCheckMs_ = 0;
    return casChanged;
}

bool CTlsContext::Pass(int elapsedMs) {
    sinceCheckMs_ += elapsedMs;
    if (sinceCheckMs_ < kTlsReloadCheckMs) {
        return false;
    }
    sinceCheckMs_ = 0;
    return CheckFiles();
}

bool CTlsContext::CheckFiles() {
    Contents contents;
    std::string error;
    if (!Read(&contents, &error)) {
        // Mid-rotation a file may be missing for a moment: said once.
        if (error != readError_) {
            ConsolePrint("TLS certificate not reloaded: %s; the previous one stays in use\n",
                         error.c_str());
            readError_ = error;
        }
        return false;
    }
    readError_.clear();
    if (contents == tried_) {
        return false;  // in use, or refused already
    }
    tried_ = contents;
    SSL_CTX* ctx = MakeServerContext(contents.cert, contents.key, ClientCas(contents), &error);
    if (ctx == nullptr) {
        ConsolePrint("TLS certificate not reloaded: %s; the previous one stays in use\n",
                     error.c_str());
        return false;
    }
    SSL_CTX_free(current_);
    current_ = ctx;
    ConsolePrint("TLS certificate reloaded\n");
    bool casChanged = contents.ca != caInUse_;
    caInUse_.swap(contents.ca);
    return casChanged;
}
