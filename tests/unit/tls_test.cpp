// TLS connections in the server's passes, on the fake platform: the peer is
// an OpenSSL client over memory buffers whose bytes the test carries to and
// from the fake sockets. The certificate is made here, for the test alone.
#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>
#include <string>

#include "console/console.h"
#include "fake_platform.h"
#include "server/server.h"
#include "tls/tls_connection.h"
#include "tls/tls_context.h"

namespace {

std::string Pem(int (*write)(BIO*, void*), void* object) {
    BIO* bio = BIO_new(BIO_s_mem());
    write(bio, object);
    char* data = nullptr;
    long size = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<size_t>(size));
    BIO_free(bio);
    return pem;
}

// A self-signed P-256 certificate for "localhost" and its key, in PEM.
void MakeCertificate(std::string* certPem, std::string* keyPem) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_sign(cert, key, EVP_sha256());
    *certPem =
        Pem([](BIO* b, void* o) { return PEM_write_bio_X509(b, static_cast<X509*>(o)); }, cert);
    *keyPem = Pem(
        [](BIO* b, void* o) {
            return PEM_write_bio_PrivateKey(b, static_cast<EVP_PKEY*>(o), nullptr, nullptr, 0,
                                            nullptr, nullptr);
        },
        key);
    X509_free(cert);
    EVP_PKEY_free(key);
}

// A fake platform whose socket `slow` takes at most `budget` bytes a pass
// in pieces of at most `piece`, as a slow reader's socket does.
class SlowSendPlatform : public FakePlatform {
  public:
    int Send(SocketHandle s, const void* data, int length) override {
        if (s != slow) {
            return FakePlatform::Send(s, data, length);
        }
        if (budget <= 0) {
            return kIoWouldBlock;
        }
        int take = std::min({length, budget, piece});
        budget -= take;
        return FakePlatform::Send(s, data, take);
    }
    int SendGather(SocketHandle s, const SendSlice* slices, int count) override {
        return count > 0 ? Send(s, slices[0].data, slices[0].length) : kIoWouldBlock;
    }
    SocketHandle slow = INVALID_SOCKET;
    int budget = 1 << 30;
    int piece = 1 << 30;
};

class TlsMaker final : public CConnectionMaker {
  public:
    explicit TlsMaker(SSL_CTX* ctx) : ctx_(ctx) {}
    std::unique_ptr<CConnection> Make(SocketHandle accepted,
                                      CHandshakeBudget& handshakes) override {
        return CTlsConnection::Accept(ctx_, handshakes, accepted);
    }
    ListenerKind Kind() const override { return ListenerKind::kTls; }

  private:
    SSL_CTX* ctx_;
};

// The peer: an OpenSSL client whose records go through memory buffers.
class Peer {
  public:
    Peer() {
        ctx_ = SSL_CTX_new(TLS_client_method());
        ssl_ = SSL_new(ctx_);
        in_ = BIO_new(BIO_s_mem());
        out_ = BIO_new(BIO_s_mem());
        SSL_set_bio(ssl_, in_, out_);
        SSL_set_connect_state(ssl_);
    }
    ~Peer() {
        SSL_free(ssl_);
        SSL_CTX_free(ctx_);
    }
    // Carries what each side wrote to the other.
    void Carry(FakePlatform& fake, SocketHandle s) {
        char* data = nullptr;
        long size = BIO_get_mem_data(out_, &data);
        if (size > 0) {
            fake.Feed(s, std::string(data, static_cast<size_t>(size)));
            (void)BIO_reset(out_);
        }
        std::string sent = fake.TakeSent(s);
        if (!sent.empty()) {
            BIO_write(in_, sent.data(), static_cast<int>(sent.size()));
        }
    }
    bool Handshake() { return SSL_do_handshake(ssl_) == 1; }
    void Write(const std::string& bytes) {
        ASSERT_EQ(SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())),
                  static_cast<int>(bytes.size()));
    }
    std::string ReadAll() {
        std::string got;
        char buffer[16384];
        int r;
        while ((r = SSL_read(ssl_, buffer, sizeof buffer)) > 0) {
            got.append(buffer, static_cast<size_t>(r));
        }
        return got;
    }

  private:
    SSL_CTX* ctx_;
    SSL* ssl_;
    BIO* in_;
    BIO* out_;
};

class TlsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetPlatform(&fake);
        fake.reportReadiness = true;
        g_server.relay.ClearHistory();
        ASSERT_TRUE(g_server.Open(5000));
        std::string cert, key, error;
        MakeCertificate(&cert, &key);
        ctx = MakeServerContext(cert, key, nullptr, &error);
        ASSERT_NE(ctx, nullptr) << error;
        ASSERT_TRUE(
            g_server.AddListener(0, 5001, std::unique_ptr<CConnectionMaker>(new TlsMaker(ctx))));
        tlsListener = fake.LastListener();
        SetConsoleSink([](const char*) {});
    }
    void TearDown() override {
        g_server.Shutdown();
        SSL_CTX_free(ctx);
        SetConsoleSink(nullptr);
        g_server.relay.ClearHistory();
        SetPlatform(nullptr);
    }
    void Pass() { g_server.Update(20); }
    // A TLS peer through its handshake, let into the room.
    SocketHandle ConnectTls(Peer& peer) {
        SocketHandle s = fake.QueueConnectionOn(tlsListener);
        for (int i = 0; i < 10 && !peer.Handshake(); ++i) {
            peer.Carry(fake, s);
            Pass();
            peer.Carry(fake, s);
        }
        EXPECT_TRUE(peer.Handshake());
        peer.Carry(fake, s);  // the peer's last handshake message
        Pass();
        return s;
    }
    SocketHandle ConnectPlain() {
        SocketHandle s = fake.QueueConnection();
        Pass();
        return s;
    }

    SlowSendPlatform fake;
    SSL_CTX* ctx = nullptr;
    SocketHandle tlsListener = INVALID_SOCKET;
};

// Records that arrived together are decrypted in one read, more than one
// turn's share: what stays inside the connection is handed out in the
// passes after, though the socket has nothing more to report.
TEST_F(TlsTest, DecryptedBytesLeftAfterATurnAreNotStranded) {
    Peer peer;
    SocketHandle tls = ConnectTls(peer);
    SocketHandle plain = ConnectPlain();
    std::string expected;
    for (char c : std::string("abc")) {
        std::string message(13000, c);
        peer.Write(Frame(message));  // one record each
        expected += Frame(message);
    }
    peer.Carry(fake, tls);
    std::string got;
    for (int i = 0; i < 10; ++i) {
        Pass();
        got += fake.TakeSent(plain);
    }
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

// A reader whose socket takes a few pieces a pass gets every relayed byte
// in order: a record the socket took part of is finished from the same
// bytes in the next pass.
TEST_F(TlsTest, SlowReaderGetsEveryByteThroughPartialRecords) {
    Peer peer;
    SocketHandle tls = ConnectTls(peer);
    SocketHandle plain = ConnectPlain();
    std::string expected;
    // Short frames, each relayed in a pass of its own, before each long
    // one: a send may lend the long frame cut short behind them, packed
    // with them, and whole later.
    for (int i = 0; i < 3; ++i) {
        for (int k = 0; k < 45; ++k) {
            std::string shortOne(1200, static_cast<char>('a' + k % 20));
            fake.Feed(plain, Frame(shortOne));
            expected += Frame(shortOne);
        }
        std::string message(100000, static_cast<char>('x' + i));
        message += std::to_string(i);
        fake.Feed(plain, Frame(message));
        expected += Frame(message);
    }
    // Everything is queued before the reader takes anything; then it takes
    // three records and a bit in one pass, a few pieces in the next.
    fake.slow = tls;
    fake.budget = 0;
    for (int i = 0; i < 400 && !fake.At(plain).inbound.empty(); ++i) {
        Pass();
    }
    ASSERT_TRUE(fake.At(plain).inbound.empty());
    std::string got;
    fake.piece = 1000;
    for (int i = 0; i < 1000 && got.size() < expected.size(); ++i) {
        fake.budget = i % 2 == 0 ? 50000 : 5000;
        Pass();
        peer.Carry(fake, tls);
        got += peer.ReadAll();
    }
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    fake.budget = 1 << 30;
    fake.piece = 1 << 30;
    peer.Write(Frame("@PING"));
    peer.Carry(fake, tls);
    Pass();
    Pass();
    peer.Carry(fake, tls);
    EXPECT_EQ(peer.ReadAll(), Frame("@PING"));
}

// A message that comes with the last handshake message is answered after
// the history, as for any client let into the room.
TEST_F(TlsTest, HistoryComesBeforeTheReplyToAMessageSentWithTheHandshake) {
    SocketHandle plain = ConnectPlain();
    fake.Feed(plain, Frame("earlier"));
    Pass();
    Peer peer;
    SocketHandle tls = fake.QueueConnectionOn(tlsListener);
    for (int i = 0; i < 10 && !peer.Handshake(); ++i) {
        peer.Carry(fake, tls);
        Pass();
        peer.Carry(fake, tls);
    }
    ASSERT_TRUE(peer.Handshake());
    peer.Write(Frame("@PING"));  // in the same flight as the client's Finished
    peer.Carry(fake, tls);
    std::string got;
    for (int i = 0; i < 5; ++i) {
        Pass();
        peer.Carry(fake, tls);
        got += peer.ReadAll();
    }
    EXPECT_EQ(got, Frame("earlier") + Frame("@PING"));
}

// A record left half sent holds the head of a long frame that was lent cut
// short behind short ones; in the next pass the same bytes come in other
// pieces (the long frame whole), and the record is still finished first.
TEST_F(TlsTest, RecordLeftHalfSentIsFinishedThoughTheQueueIsLentInOtherPieces) {
    Peer peer;
    SocketHandle tls = ConnectTls(peer);
    CClient* client = nullptr;
    for (CClient* c = g_server.clients; c != nullptr; c = c->next) {
        client = c->Socket() == tls ? c : client;
    }
    ASSERT_NE(client, nullptr);
    std::string expected;
    for (int i = 0; i < 5; ++i) {  // each in a block of its own
        std::string text(12000, static_cast<char>('a' + i));
        client->SendText(text.c_str());
        expected += Frame(text);
    }
    std::string longText(100000, 'z');
    client->SendText(longText.c_str());
    expected += Frame(longText);
    fake.slow = tls;
    fake.budget = 50000;  // three records and a bit of the fourth
    Pass();
    std::string got;
    for (int i = 0; i < 100 && got.size() < expected.size(); ++i) {
        fake.budget = 20000;
        Pass();
        peer.Carry(fake, tls);
        got += peer.ReadAll();
    }
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
}

}  // namespace
