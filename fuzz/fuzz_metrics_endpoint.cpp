// Drives the metrics endpoint through the fake platform with an input-chosen
// script: scrapers connect, send any bytes split at any point, read their
// answers in any amounts or not at all, leave or break, and the clock jumps.
// After every pass it checks that the places stay bounded, that no closed
// socket is used, that every answer is a whole HTTP response, and that no
// scraper outlives its deadlines.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <iterator>
#include <map>
#include <string>

#include "check.h"
#include "fake_platform.h"
#include "metrics/endpoint.h"

namespace {

constexpr int kMaxSteps = 400;

class CheckedPlatform : public FakePlatform {
  public:
    int Recv(SocketHandle s, void* buffer, int length) override {
        CHECK(!IsClosed(s));
        CHECK(length > 0 && length <= kMaxRequestBytes);
        return FakePlatform::Recv(s, buffer, length);
    }
    int Send(SocketHandle s, const void* data, int length) override {
        CHECK(!IsClosed(s));
        CHECK(length > 0);
        return FakePlatform::Send(s, data, length);
    }
    void CloseSocket(SocketHandle s) override {
        CHECK(!IsClosed(s));
        FakePlatform::CloseSocket(s);
    }
};

class Source : public CMetricsSource {
  public:
    void WriteMetrics(std::string& out) override { out += "tovrel_x_total 1\n"; }
    std::string Unhealthy() override { return unhealthy ? "down" : ""; }
    bool unhealthy = false;
};

const char* const kPieces[] = {"GET ",     "/metrics", "/healthz", " HTTP/1.1", " HTTP/1.0",
                               "\r\n",     "\n",       "Host: x",  "POST ",     "?a=b",
                               "\r\n\r\n", " ",        "/"};

// One HTTP answer per connection and nothing else: a status line, a head
// with its Content-Length and at most that many bytes; all of them when the
// connection was closed in order rather than reset.
void CheckAnswer(const FakePlatform::Socket& sock) {
    const std::string& sent = sock.sent;
    if (sent.empty()) {
        return;
    }
    const std::string status = "HTTP/1.1 ";
    std::size_t shown = sent.size() < status.size() ? sent.size() : status.size();
    CHECK(sent.compare(0, shown, status, 0, shown) == 0);  // a send may stop anywhere
    std::size_t head = sent.find("\r\n\r\n");
    if (head == std::string::npos) {
        CHECK(!sock.closed || sock.aborted);
        return;
    }
    std::size_t length = sent.find("Content-Length: ");
    CHECK(length != std::string::npos && length < head);
    std::size_t body = std::strtoul(sent.c_str() + length + 16, nullptr, 10);
    std::size_t got = sent.size() - (head + 4);
    CHECK(got <= body);
    CHECK(!sock.closed || sock.aborted || got == body);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    CheckedPlatform fake;
    SetPlatform(&fake);
    Source source;
    {
        CMetricsEndpoint endpoint(source);
        CHECK(endpoint.Open(0x7F000001, 9464));
        std::map<SocketHandle, bool> known;
        for (int step = 0; step < kMaxSteps && in.remaining_bytes() > 0; ++step) {
            switch (in.ConsumeIntegralInRange<int>(0, 7)) {
                case 0: {
                    known[fake.QueueConnection()] = true;
                    break;
                }
                case 1:
                case 2: {  // bytes, from the pieces or raw
                    if (known.empty()) {
                        break;
                    }
                    auto it = known.begin();
                    std::advance(it, in.ConsumeIntegralInRange<std::size_t>(0, known.size() - 1));
                    std::string bytes;
                    if (in.ConsumeBool()) {
                        int count = in.ConsumeIntegralInRange<int>(1, 6);
                        for (int i = 0; i < count; ++i) {
                            bytes += kPieces[in.ConsumeIntegralInRange<std::size_t>(
                                0, sizeof kPieces / sizeof kPieces[0] - 1)];
                        }
                    } else {
                        bytes = in.ConsumeRandomLengthString(6000);
                    }
                    if (!bytes.empty()) {
                        fake.Feed(it->first, bytes);
                    }
                    break;
                }
                case 3: {  // how much the next sends take
                    if (known.empty()) {
                        break;
                    }
                    auto it = known.begin();
                    std::advance(it, in.ConsumeIntegralInRange<std::size_t>(0, known.size() - 1));
                    FakePlatform::Socket& sock = fake.At(it->first);
                    sock.sendLimit = in.ConsumeIntegralInRange<int>(0, 70000);
                    sock.sendResult = in.ConsumeBool() ? 0 : (in.ConsumeBool() ? kIoError : 0);
                    break;
                }
                case 4: {  // leaves or breaks
                    if (known.empty()) {
                        break;
                    }
                    auto it = known.begin();
                    std::advance(it, in.ConsumeIntegralInRange<std::size_t>(0, known.size() - 1));
                    fake.FeedCode(it->first, in.ConsumeBool() ? 0 : kIoError);
                    break;
                }
                case 5:
                    source.unhealthy = !source.unhealthy;
                    break;
                default: {  // passes, with the clock moving
                    int passes = in.ConsumeIntegralInRange<int>(1, 20);
                    int ms = in.ConsumeIntegralInRange<int>(0, 3000);
                    for (int i = 0; i < passes; ++i) {
                        endpoint.Serve();
                        fake.now += static_cast<std::uint32_t>(ms);
                        CHECK(endpoint.Scrapers() <= kMaxScrapers);
                    }
                    break;
                }
            }
            for (const auto& entry : known) {
                CheckAnswer(fake.At(entry.first));
            }
        }
        // Everyone waiting taken (or refused), then past both deadlines with
        // passes to see them: nobody is left.
        while (!fake.backlog.empty()) {
            endpoint.Serve();
        }
        for (int i = 0; i < 2; ++i) {
            fake.now += kRequestMs + kAnswerMs + 1;
            endpoint.Serve();
        }
        CHECK(endpoint.Scrapers() == 0);
        for (const auto& entry : known) {
            CheckAnswer(fake.At(entry.first));
        }
    }
    for (const auto& entry : fake.sockets) {
        CHECK(entry.second.closed || !entry.second.accepted);
    }
    SetPlatform(nullptr);
    return 0;
}
