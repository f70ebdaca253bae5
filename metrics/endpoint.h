#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

// What the endpoint serves: the metrics text and the health verdict. The
// server implements it; the endpoint knows nothing else of the server.
class CMetricsSource {
  public:
    virtual ~CMetricsSource() {}
    // Appends the metrics in the Prometheus text format to `out`.
    virtual void WriteMetrics(std::string& out) = 0;
    // Empty while the server is healthy, otherwise one line saying why not.
    virtual std::string Unhealthy() = 0;
};

// Scrapers served at once; one more is refused until a place is free.
constexpr int kMaxScrapers = 8;
// Longest request head (request line and headers) taken.
constexpr int kMaxRequestBytes = 4096;
// A scraper must send its whole request head this soon after its accept,
// and take its whole answer this soon after the request.
constexpr int kRequestMs = 2000;
constexpr int kAnswerMs = 5000;
// Most connections accepted in one pass, so a flood cannot lengthen it.
constexpr int kScraperAcceptsPerPass = 16;

// A small HTTP/1.1 server on a listener of its own, run from the pass and
// never blocking: GET /metrics, GET /healthz, 404 for any other path. Each
// connection carries one request and is closed once its answer has gone.
// Everything goes through the platform seam. A scraper that sends too much,
// too slowly, or garbage, or does not read its answer, is dropped; none of
// it costs more than a few bounded steps per pass.
class CMetricsEndpoint {
  public:
    explicit CMetricsEndpoint(CMetricsSource& source) : source_(source) {}
    ~CMetricsEndpoint() { Close(); }
    CMetricsEndpoint(const CMetricsEndpoint&) = delete;
    CMetricsEndpoint& operator=(const CMetricsEndpoint&) = delete;

    // Listens on `address` (host order) and `port`; false, with nothing
    // left open, on failure.
    bool Open(std::uint32_t address, std::uint16_t port);
    // One pass: accept, read requests, send answers, drop the late.
    void Serve();
    // Closes the listener and every scraper.
    void Close();
    bool IsOpen() const { return listener_ != INVALID_SOCKET; }

    // Appends the endpoint's own figures to a scrape.
    void WriteOwnMetrics(std::string& out) const;

    // Connections being served now, and how each ended so far.
    int Scrapers() const;
    std::uint64_t answered() const { return answered_; }
    std::uint64_t refused() const { return refused_; }
    std::uint64_t bad() const { return bad_; }
    std::uint64_t dropped() const { return dropped_; }

  private:
    struct Scraper {
        SocketHandle socket = INVALID_SOCKET;
        std::uint32_t deadline = 0;
        bool answering = false;
        std::string request;
        std::string answer;
        std::size_t sent = 0;
    };

    void Accept(std::uint32_t now);
    // Reads; when the request head is whole, prepares the answer.
    void Read(Scraper& s, std::uint32_t now);
    void Answer(Scraper& s);
    void Respond(Scraper& s, std::uint32_t now, const char* status, const char* type,
                 const std::string& body);
    // Closes `s`; `abort` resets a connection whose peer is not reading.
    void End(Scraper& s, bool abort);

    CMetricsSource& source_;
    SocketHandle listener_ = INVALID_SOCKET;
    Scraper scrapers_[kMaxScrapers];
    std::string body_;
    std::uint64_t answered_ = 0;
    std::uint64_t refused_ = 0;
    std::uint64_t bad_ = 0;
    std::uint64_t dropped_ = 0;
};
