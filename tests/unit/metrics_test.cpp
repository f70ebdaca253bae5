// The metrics: the text format, the HTTP endpoint through the fake
// platform, and the server's counters against its console lines.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "fake_platform.h"
#include "metrics/endpoint.h"
#include "metrics/exposition.h"
#include "server/metrics_glue.h"
#include "server_fixture.h"

namespace {

// The value of the sample `series` (name and labels as written) in a
// scrape; -1 when it is not there.
double Value(const std::string& text, const std::string& series) {
    std::string key = "\n" + series + " ";
    std::size_t at = ("\n" + text).find(key);
    if (at == std::string::npos) {
        return -1;
    }
    return std::strtod(text.c_str() + at + key.size() - 1, nullptr);
}

TEST(ExpositionTest, HistogramBucketsAreCumulativeAndScaled) {
    static const std::int64_t bounds[3] = {1000, 20000, 50000};
    CHistogram<3> h = {bounds, {}, 0, 0};
    h.Observe(500);
    h.Observe(20000);  // a bound holds what equals it
    h.Observe(20001);
    h.Observe(90000);
    std::string out;
    CExposition w(out);
    w.Histogram("pass_seconds", "Passes.", h, 1e6);
    EXPECT_NE(out.find("# HELP pass_seconds Passes.\n# TYPE pass_seconds histogram\n"),
              std::string::npos);
    EXPECT_EQ(Value(out, "pass_seconds_bucket{le=\"0.001\"}"), 1);
    EXPECT_EQ(Value(out, "pass_seconds_bucket{le=\"0.02\"}"), 2);
    EXPECT_EQ(Value(out, "pass_seconds_bucket{le=\"0.05\"}"), 3);
    EXPECT_EQ(Value(out, "pass_seconds_bucket{le=\"+Inf\"}"), 4);
    EXPECT_EQ(Value(out, "pass_seconds_count"), 4);
    EXPECT_DOUBLE_EQ(Value(out, "pass_seconds_sum"), 0.130501);
}

TEST(ExpositionTest, LabelValuesAreEscaped) {
    std::string out;
    CExposition w(out);
    w.Family("x_total", "counter", "X.");
    w.SampleUnsigned(7, "why", "a \"b\"\\c\nd");
    EXPECT_NE(out.find("x_total{why=\"a \\\"b\\\"\\\\c\\nd\"} 7\n"), std::string::npos) << out;
}

class FixedSource : public CMetricsSource {
  public:
    void WriteMetrics(std::string& out) override { out += "tovrel_test_total 42\n"; }
    std::string Unhealthy() override { return why; }
    std::string why;
};

class EndpointTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SetPlatform(&fake);
        ASSERT_TRUE(endpoint.Open(0x7F000001, 9464));
    }
    void TearDown() override {
        endpoint.Close();
        SetPlatform(nullptr);
    }
    // A scraper whose connection the next pass accepts.
    SocketHandle Scraper(const std::string& request = std::string()) {
        SocketHandle s = fake.QueueConnection();
        if (!request.empty()) {
            fake.Feed(s, request);
        }
        return s;
    }
    void Passes(int count, int ms = 20) {
        for (int i = 0; i < count; ++i) {
            endpoint.Serve();
            fake.now += static_cast<std::uint32_t>(ms);
        }
    }

    FakePlatform fake;
    FixedSource source;
    CMetricsEndpoint endpoint{source};
};

TEST_F(EndpointTest, ListensOnTheAddressAndPortGiven) {
    EXPECT_EQ(fake.boundAddress, 0x7F000001u);
    EXPECT_EQ(fake.boundPort, 9464);
}

TEST_F(EndpointTest, MetricsAreAnsweredInTheTextFormatAndTheConnectionClosed) {
    SocketHandle s = Scraper("GET /metrics HTTP/1.1\r\nHost: x\r\nAccept: */*\r\n\r\n");
    Passes(1);
    std::string answer = fake.TakeSent(s);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
    std::size_t body = answer.find("\r\n\r\n") + 4;
    EXPECT_EQ(answer.substr(body).rfind("tovrel_test_total 42\n", 0), 0u);
    EXPECT_NE(answer.find("# TYPE tovrel_metrics_requests_total counter\n"), std::string::npos);
    std::string length = "Content-Length: " + std::to_string(answer.size() - body) + "\r\n";
    EXPECT_NE(answer.find(length), std::string::npos);
    EXPECT_TRUE(fake.IsClosed(s));
    EXPECT_EQ(endpoint.Scrapers(), 0);
}

TEST_F(EndpointTest, HealthIsOkOr503WithTheReasonAndOtherPathsAre404) {
    SocketHandle ok = Scraper("GET /healthz HTTP/1.0\n\n");
    Passes(1);
    std::string answer = fake.TakeSent(ok);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    EXPECT_EQ(answer.substr(answer.size() - 3), "ok\n");

    source.why = "Redis link down for 7 s";
    SocketHandle down = Scraper("GET /healthz?x=1 HTTP/1.1\r\n\r\n");
    Passes(1);
    answer = fake.TakeSent(down);
    EXPECT_EQ(answer.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << answer;
    EXPECT_EQ(answer.substr(answer.find("\r\n\r\n") + 4), "Redis link down for 7 s\n");

    SocketHandle other = Scraper("GET /metricsx HTTP/1.1\r\n\r\n");
    Passes(1);
    EXPECT_EQ(fake.TakeSent(other).rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
    SocketHandle post = Scraper("POST /metrics HTTP/1.1\r\n\r\n");
    Passes(1);
    EXPECT_EQ(fake.TakeSent(post).rfind("HTTP/1.1 405", 0), 0u);
}

TEST_F(EndpointTest, ARequestInPiecesIsAssembled) {
    SocketHandle s = Scraper("GET /metr");
    Passes(2);
    EXPECT_EQ(fake.At(s).sent, "");
    fake.Feed(s, "ics HTTP/1.1\r\n");
    Passes(1);
    EXPECT_EQ(fake.At(s).sent, "");
    fake.Feed(s, "\r\n");
    Passes(1);
    EXPECT_EQ(fake.TakeSent(s).rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
}

TEST_F(EndpointTest, GarbageAndAnOversizedRequestAreRefusedAndClosed) {
    SocketHandle garbage = Scraper(std::string("\x16\x03\x01\x00\xff\n\n", 7));
    Passes(1);
    EXPECT_EQ(fake.TakeSent(garbage).rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u);
    EXPECT_TRUE(fake.IsClosed(garbage));

    SocketHandle large = Scraper("GET /" + std::string(1 << 20, 'a'));
    Passes(2);
    EXPECT_EQ(fake.TakeSent(large).rfind("HTTP/1.1 431", 0), 0u);
    EXPECT_TRUE(fake.IsClosed(large));
    // Only the head's worth was read of the megabyte.
    EXPECT_LE(fake.At(large).recvCalls, 2);
    EXPECT_EQ(endpoint.bad(), 2u);
}

TEST_F(EndpointTest, AScraperThatSendsNothingIsDroppedAtItsDeadline) {
    SocketHandle silent = Scraper();
    Passes(1);
    EXPECT_FALSE(fake.IsClosed(silent));
    Passes(kRequestMs / 20 + 1);
    EXPECT_TRUE(fake.IsClosed(silent));
    EXPECT_TRUE(fake.At(silent).aborted);
    EXPECT_EQ(endpoint.dropped(), 1u);
}

TEST_F(EndpointTest, AScraperThatDoesNotReadIsDroppedAtItsDeadline) {
    SocketHandle s = Scraper("GET /metrics HTTP/1.1\r\n\r\n");
    fake.At(s).sendLimit = 10;  // takes a little, then nothing
    Passes(1);
    fake.At(s).sendLimit = 0;
    Passes(kAnswerMs / 20 - 2);
    EXPECT_FALSE(fake.IsClosed(s));
    Passes(3);
    EXPECT_TRUE(fake.IsClosed(s));
    EXPECT_TRUE(fake.At(s).aborted);
    EXPECT_EQ(fake.At(s).sent.size(), 10u);
}

TEST_F(EndpointTest, PlacesAreBoundedAndTheRestRefusedAtOnce) {
    SocketHandle held[kMaxScrapers];
    for (SocketHandle& s : held) {
        s = Scraper();
    }
    SocketHandle extra = Scraper("GET /metrics HTTP/1.1\r\n\r\n");
    Passes(1);
    EXPECT_EQ(endpoint.Scrapers(), kMaxScrapers);
    EXPECT_TRUE(fake.IsClosed(extra));
    EXPECT_EQ(fake.At(extra).sent, "");
    EXPECT_EQ(endpoint.refused(), 1u);
    // A place that comes free takes the next one.
    fake.Feed(held[0], "GET /healthz HTTP/1.1\r\n\r\n");
    SocketHandle next = Scraper("GET /healthz HTTP/1.1\r\n\r\n");
    Passes(1);  // held[0] answered and closed; `next` is refused in this pass
    EXPECT_TRUE(fake.IsClosed(held[0]));
    Passes(1);
    SocketHandle later = Scraper("GET /healthz HTTP/1.1\r\n\r\n");
    Passes(1);
    EXPECT_TRUE(fake.IsClosed(next));
    EXPECT_EQ(fake.TakeSent(later).rfind("HTTP/1.1 200 OK", 0), 0u);
}

TEST_F(EndpointTest, AScraperThatLeavesFreesItsPlace) {
    SocketHandle s = Scraper();
    Passes(1);
    fake.FeedCode(s, 0);
    Passes(1);
    EXPECT_TRUE(fake.IsClosed(s));
    EXPECT_EQ(endpoint.Scrapers(), 0);
    EXPECT_EQ(endpoint.dropped(), 0u);
}

class ServerMetricsTest : public ServerFixture {
  protected:
    std::string Scrape() {
        std::string out;
        metrics.WriteMetrics(out);
        return out;
    }
    static int Count(const std::string& text, const std::string& line) {
        int n = 0;
        for (std::size_t at = text.find(line); at != std::string::npos;
             at = text.find(line, at + 1)) {
            ++n;
        }
        return n;
    }
    CServerMetrics metrics{g_server};
};

TEST_F(ServerMetricsTest, CountersRiseWithTheirConsoleLines) {
    std::string before = Scrape();
    SocketHandle a = Connect();
    SocketHandle b = Connect();
    SocketHandle c = Connect();
    SocketHandle d = Connect();
    fake.Feed(a, Frame("@PING") + Frame("hello"));
    fake.Feed(b, LengthOnly(131073));
    fake.FeedCode(c, 0);
    Pass();
    fake.TakeSent(a);
    fake.TakeSent(d);
    // a and d are silent from here on: both time out.
    for (int i = 0; i < kIdleTimeoutMs / 250 + 2; ++i) {
        Pass(250);
    }
    std::string console = Console();
    std::string after = Scrape();
    auto rise = [&](const std::string& series) {
        return Value(after, series) - Value(before, series);
    };
    EXPECT_EQ(rise("tovrel_connections_accepted_total"), Count(console, "New client connected\n"));
    EXPECT_EQ(rise("tovrel_disconnections_total{reason=\"timeout\"}"), Count(console, "TIMEOUT\n"));
    EXPECT_EQ(rise("tovrel_disconnections_total{reason=\"timeout\"}"), 2);
    EXPECT_EQ(rise("tovrel_disconnections_total{reason=\"invalid_size\"}"),
              Count(console, "Invalid msg size\n"));
    EXPECT_EQ(rise("tovrel_disconnections_total{reason=\"peer_closed\"}"), 1);
    EXPECT_EQ(rise("tovrel_pings_total"), Count(console, "@PING\n"));
    EXPECT_EQ(rise("tovrel_messages_relayed_total"), 1);
    EXPECT_EQ(rise("tovrel_received_bytes_total"), 9 + 9 + 4);
    // "hello" to a and d (the others had gone), "@PING" to a.
    EXPECT_EQ(rise("tovrel_sent_bytes_total"), 9 * 3);
    EXPECT_EQ(Value(after, "tovrel_clients{kind=\"tcp\"}"), ClientCount());
    double ended = 0;
    for (const char* reason : kEndCauseNames) {
        std::string series = std::string("tovrel_disconnections_total{reason=\"") + reason + "\"}";
        ended += Value(after, series) - Value(before, series);
    }
    EXPECT_EQ(ended, Count(console, "Disconnected\n"));
}

TEST_F(ServerMetricsTest, QueuesAndTheBudgetAreShown) {
    SocketHandle reader = Connect();
    SocketHandle sender = Connect();
    fake.At(reader).sendLimit = 0;  // takes nothing
    fake.Feed(sender, Frame(std::string(1000, 'x')) + Frame(std::string(3000, 'y')));
    Pass();
    // Both messages wait for both: the sender's own go out in its next turn.
    std::string text = Scrape();
    EXPECT_EQ(Value(text, "tovrel_largest_queue_bytes"), 4008);
    EXPECT_EQ(Value(text, "tovrel_queued_bytes"), 8016);
    EXPECT_GE(Value(text, "tovrel_memory_budget_used_bytes"), 4008);
    EXPECT_EQ(Value(text, "tovrel_memory_budget_bytes"), 512.0 * 1024 * 1024);
    EXPECT_EQ(metrics.Unhealthy(), "");  // alone: no room to be down
}

}  // namespace
