#include "tls/tls_connection.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstring>
#include <new>

#include "console/console.h"

namespace {

// Most plaintext one send packs for encryption: what a turn sends at most.
constexpr int kMaxPackedBytes = 65536;
// A piece this long fills a record by itself and is not copied.
constexpr int kDirectSliceBytes = 16384;
// One packing area for every send; its bytes are encrypted at once.
unsigned char g_packed[kMaxPackedBytes];

CTlsConnection* Owner(BIO* bio) {
    return static_cast<CTlsConnection*>(BIO_get_data(bio));
}

int BioWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    int written = Owner(bio)->SocketWrite(data, length);
    if (written == kIoWouldBlock) {
        BIO_set_retry_write(bio);
    }
    return written > 0 ? written : -1;
}

int BioRead(BIO* bio, char* buffer, int length) {
    BIO_clear_retry_flags(bio);
    int read = Owner(bio)->SocketRead(buffer, length);
    if (read == kIoWouldBlock) {
        BIO_set_retry_read(bio);
        return -1;
    }
    return read >= 0 ? read : -1;
}

long BioControl(BIO*, int command, long, void*) {
    // Writes go straight to the socket: nothing to flush.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// The socket layer under every TLS connection: the platform's Recv and Send.
BIO_METHOD* SocketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tovrel socket");
        if (m != nullptr) {
            BIO_meth_set_write(m, BioWrite);
            BIO_meth_set_read(m, BioRead);
            BIO_meth_set_ctrl(m, BioControl);
            BIO_meth_set_create(m, BioCreate);
        }
        return m;
    }();
    return method;
}

// The reason OpenSSL gives for its last error, or `otherwise`.
const char* LastReason(const char* otherwise) {
    unsigned long code = ERR_peek_last_error();
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    return reason != nullptr ? reason : otherwise;
}

}  // namespace

std::unique_ptr<CTlsConnection> CTlsConnection::Accept(SSL_CTX* context,
                                                       CHandshakeBudget& handshakes,
                                                       SocketHandle socket) {
    long long heapBefore = TlsHeapBytes();
    SSL* ssl = context != nullptr ? SSL_new(context) : nullptr;
    BIO* bio = ssl != nullptr && SocketMethod() != nullptr ? BIO_new(SocketMethod()) : nullptr;
    std::unique_ptr<CTlsConnection> connection;
    if (bio != nullptr) {
        connection.reset(new (std::nothrow) CTlsConnection(ssl, handshakes, socket));
    }
    if (connection == nullptr) {
        BIO_free(bio);
        SSL_free(ssl);
        Platform().CloseSocket(socket);
        return connection;
    }
    BIO_set_data(bio, connection.get());
    SSL_set_bio(ssl, bio, bio);  // the SSL owns the BIO
    SSL_set_accept_state(ssl);
    // Made before its client, so counted at its first budget update.
    connection->heap_.Begin(heapBefore);
    connection->heap_.End();
    return connection;
}

CTlsConnection::CTlsConnection(SSL* ssl, CHandshakeBudget& handshakes, SocketHandle socket)
    : ssl_(ssl),
      handshakes_(handshakes),
      socket_(socket),
      established_(false),
      peerClosed_(false),
      broken_(false),
      wantsTurn_(false),
      retrying_(false) {}

CTlsConnection::~CTlsConnection() {
    Close(false);
}

int CTlsConnection::SocketRead(char* buffer, int length) {
    int read = Platform().Recv(socket_, buffer, length);
    if (read == 0) {
        peerClosed_ = true;
    } else if (read == kIoError) {
        broken_ = true;
    }
    return read;
}

int CTlsConnection::SocketWrite(const char* data, int length) {
    int written = Platform().Send(socket_, data, length);
    if (written == kIoError) {
        broken_ = true;
    }
    return written;
}

bool CTlsConnection::Pending() const {
    return ssl_ != nullptr && (wantsTurn_ || (established_ && SSL_has_pending(ssl_) == 1));
}

int CTlsConnection::Failure(int result, bool handshaking) {
    int error = SSL_get_error(ssl_, result);
    if (error == SSL_ERROR_WANT_READ) {
        return kIoWouldBlock;
    }
    if (error == SSL_ERROR_WANT_WRITE) {
        wantsTurn_ = true;
        return kIoWouldBlock;
    }
    if (error == SSL_ERROR_ZERO_RETURN || (peerClosed_ && !broken_)) {
        return 0;  // close_notify, or the peer just left
    }
    if (broken_) {
        return kIoError;
    }
    if (handshaking) {
        long verified = SSL_get_verify_result(ssl_);
        if (verified != X509_V_OK) {
            ConsolePrint("TLS client certificate refused: %s\n",
                         X509_verify_cert_error_string(verified));
        } else {
            ConsolePrint("TLS handshake failed: %s\n", LastReason("protocol error"));
        }
    }
    return kIoError;
}

bool CTlsConnection::VouchedFor(SSL_CTX* context) const {
    if (ssl_ == nullptr || context == nullptr) {
        return false;
    }
    if (!established_ || SSL_get_SSL_CTX(ssl_) == context) {
        return true;
    }
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
    X509* leaf = SSL_get0_peer_certificate(ssl_);
#else
    X509* leaf = SSL_get_peer_certificate(ssl_);
    X509_free(leaf);  // the session keeps its own reference
#endif
    X509_STORE_CTX* check = leaf != nullptr ? X509_STORE_CTX_new() : nullptr;
    // On the server's side the peer's chain leaves out its own certificate.
    bool verified = check != nullptr &&
                    X509_STORE_CTX_init(check, SSL_CTX_get_cert_store(context), leaf,
                                        SSL_get_peer_cert_chain(ssl_)) == 1 &&
                    X509_STORE_CTX_set_default(check, "ssl_client") == 1 &&
                    X509_VERIFY_PARAM_set1(X509_STORE_CTX_get0_param(check),
                                           SSL_CTX_get0_param(context)) == 1 &&
                    X509_verify_cert(check) == 1;
    X509_STORE_CTX_free(check);
    ERR_clear_error();
    return verified;
}

int CTlsConnection::Handshake() {
    if (!handshakes_.TakeStep()) {
        wantsTurn_ = true;  // its turn comes again next pass
        return kIoWouldBlock;
    }
    ERR_clear_error();
    int result = SSL_do_handshake(ssl_);
    if (result == 1) {
        established_ = true;
        return kIoWouldBlock;
    }
    return Failure(result, true);
}

int CTlsConnection::Receive(void* buffer, int length) {
    if (ssl_ == nullptr || broken_) {
        return kIoError;
    }
    CChargeScope charge(heap_);
    wantsTurn_ = false;
    if (!established_) {
        // The turn that finishes the handshake reads nothing: the client is
        // let into the room first, so the history comes before any reply.
        // Records that came with the last handshake message wait (Pending).
        return Handshake();
    }
    // Records are taken until the buffer is full or the socket has no more;
    // what is left decrypted stays for the next turn (Pending).
    unsigned char* out = static_cast<unsigned char*>(buffer);
    int got = 0;
    int last = kIoWouldBlock;
    while (got < length) {
        ERR_clear_error();
        int read = SSL_read(ssl_, out + got, length - got);
        if (read <= 0) {
            last = Failure(read, false);
            break;
        }
        got += read;
    }
    return got > 0 ? got : last;
}

int CTlsConnection::Send(const SendSlice* slices, int count) {
    if (ssl_ == nullptr || broken_) {
        return kIoError;
    }
    if (!established_) {
        return kIoWouldBlock;
    }
    CChargeScope charge(heap_);
    // Runs of small frames are packed into one buffer so that they share
    // records; a piece of a whole record or more is encrypted where it
    // lies. A record the socket did not take must be offered again with at
    // least its bytes, from the same place in the queue: the first write
    // after one packs everything lent, as the pieces may be cut otherwise.
    int sent = 0;
    int last = kIoWouldBlock;
    int i = 0;
    bool packAll = retrying_;
    retrying_ = false;
    while (i < count) {
        const unsigned char* data = static_cast<const unsigned char*>(slices[i].data);
        int length = slices[i].length;
        if (length >= kDirectSliceBytes && !packAll) {
            ++i;
        } else {
            length = 0;
            while (i < count && (packAll || slices[i].length < kDirectSliceBytes) &&
                   length < kMaxPackedBytes) {
                int take = slices[i].length;
                if (take > kMaxPackedBytes - length) {
                    break;  // the packing area is full
                }
                std::memcpy(g_packed + length, slices[i].data, static_cast<size_t>(take));
                length += take;
                ++i;
            }
            packAll = false;
            if (length == 0) {
                break;  // a pass sends no more than the packing area holds
            }
            data = g_packed;
        }
        int written = 0;
        while (written < length) {
            ERR_clear_error();
            int r = SSL_write(ssl_, data + written, length - written);
            if (r <= 0) {
                last = Failure(r, false);
                if (last == 0) {
                    last = kIoError;  // a peer that closed takes nothing more
                }
                break;
            }
            written += r;
        }
        sent += written;
        if (written < length) {
            retrying_ = last == kIoWouldBlock;
            break;  // the rest goes from here next time
        }
    }
    return sent > 0 ? sent : last;
}

bool CTlsConnection::FinishSending() {
    // A record half written must go whole first; a close_notify in its
    // place would break OpenSSL's write retry.
    if (ssl_ == nullptr || !established_ || broken_ || peerClosed_ || retrying_) {
        return false;
    }
    ERR_clear_error();
    if (SSL_shutdown(ssl_) < 0) {
        ERR_clear_error();
        return false;
    }
    Platform().ShutdownSend(socket_);
    return true;
}

void CTlsConnection::Close(bool discard) {
    if (ssl_ != nullptr) {
        if (established_ && !discard && !broken_ && !peerClosed_) {
            // One try at a close_notify; a socket that takes nothing is closed anyway.
            ERR_clear_error();
            SSL_shutdown(ssl_);
        }
        SSL_free(ssl_);
        ssl_ = nullptr;
        ERR_clear_error();
        heap_.Release();
    }
    CloseSocketOnce(socket_, discard);
}
