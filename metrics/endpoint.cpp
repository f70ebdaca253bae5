#include "metrics/endpoint.h"

#include <cstdio>
#include <cstring>

#include "http/request_head.h"
#include "metrics/exposition.h"

namespace {
// A flood waits here to be refused at kScraperAcceptsPerPass a pass, rather than
// being half taken by the kernel (SYN cookies) and never seen.
constexpr int kScraperBacklog = 1024;

bool Passed(std::uint32_t now, std::uint32_t deadline) {
    // Signed difference: survives the clock wrapping at 2^32.
    return static_cast<std::int32_t>(now - deadline) >= 0;
}

}  // namespace

bool CMetricsEndpoint::Open(std::uint32_t address, std::uint16_t port) {
    Close();
    CPlatform& platform = Platform();
    listener_ = platform.CreateTcpSocket();
    if (listener_ == INVALID_SOCKET) {
        return false;
    }
    platform.SetReuseAddress(listener_);
    if (platform.SetNonBlocking(listener_) != 0 ||
        platform.BindIPv4(listener_, address, port) < 0 ||
        platform.Listen(listener_, kScraperBacklog) < 0) {
        platform.CloseSocket(listener_);
        listener_ = INVALID_SOCKET;
        return false;
    }
    return true;
}

void CMetricsEndpoint::Close() {
    for (Scraper& s : scrapers_) {
        if (s.socket != INVALID_SOCKET) {
            End(s, false);
        }
    }
    if (listener_ != INVALID_SOCKET) {
        Platform().CloseSocket(listener_);
        listener_ = INVALID_SOCKET;
    }
}

int CMetricsEndpoint::Scrapers() const {
    int count = 0;
    for (const Scraper& s : scrapers_) {
        count += s.socket != INVALID_SOCKET ? 1 : 0;
    }
    return count;
}

void CMetricsEndpoint::End(Scraper& s, bool abort) {
    if (abort) {
        Platform().AbortSocket(s.socket);
    } else {
        Platform().CloseSocket(s.socket);
    }
    s.socket = INVALID_SOCKET;
    s.answering = false;
    s.request.clear();
    s.answer.clear();
    s.sent = 0;
}

void CMetricsEndpoint::Serve() {
    if (listener_ == INVALID_SOCKET) {
        return;
    }
    std::uint32_t now = Platform().TickCount();
    Accept(now);
    for (Scraper& s : scrapers_) {
        if (s.socket == INVALID_SOCKET) {
            continue;
        }
        if (!s.answering) {
            Read(s, now);
        }
        if (s.socket != INVALID_SOCKET && s.answering) {
            Answer(s);
        }
        if (s.socket != INVALID_SOCKET && Passed(now, s.deadline)) {
            ++dropped_;  // too slow to ask, or not reading its answer
            End(s, true);
        }
    }
}

void CMetricsEndpoint::Accept(std::uint32_t now) {
    CPlatform& platform = Platform();
    for (int i = 0; i < kScraperAcceptsPerPass; ++i) {
        SocketHandle accepted = platform.Accept(listener_);
        if (accepted == INVALID_SOCKET) {
            return;
        }
        Scraper* free = nullptr;
        for (Scraper& s : scrapers_) {
            if (s.socket == INVALID_SOCKET) {
                free = &s;
                break;
            }
        }
        if (free == nullptr || platform.SetNonBlocking(accepted) != 0) {
            ++refused_;  // every place taken: it may try again later
            platform.AbortSocket(accepted);
            continue;
        }
        free->socket = accepted;
        free->deadline = now + kRequestMs;
    }
}

void CMetricsEndpoint::Read(Scraper& s, std::uint32_t now) {
    char buffer[kMaxRequestBytes];
    int room = kMaxRequestBytes - static_cast<int>(s.request.size());
    int received = Platform().Recv(s.socket, buffer, room);
    if (received == 0 || received == kIoError) {
        End(s, false);  // gone before its answer
        return;
    }
    if (received < 0) {
        return;
    }
    s.request.append(buffer, static_cast<std::size_t>(received));
    CHttpRequestHead head(s.request, kMaxRequestBytes, HttpLineEnds::kCrlfOrLf);
    if (head.status() == CHttpRequestHead::kIncomplete) {
        return;
    }
    if (head.status() == CHttpRequestHead::kTooLarge) {
        ++bad_;
        Respond(s, now, "431 Request Header Fields Too Large", "text/plain", "request too large\n");
        return;
    }
    // The header fields are not needed: each connection carries one GET.
    if (!head.HasRequestLine() || (head.version() != "HTTP/1.0" && head.version() != "HTTP/1.1")) {
        ++bad_;
        Respond(s, now, "400 Bad Request", "text/plain", "bad request\n");
        return;
    }
    std::string_view path = head.path();
    if (path != "/metrics" && path != "/healthz") {
        Respond(s, now, "404 Not Found", "text/plain", "not found\n");
    } else if (head.method() != "GET") {
        Respond(s, now, "405 Method Not Allowed", "text/plain", "only GET\n");
    } else if (path == "/healthz") {
        std::string why = source_.Unhealthy();
        if (why.empty()) {
            Respond(s, now, "200 OK", "text/plain", "ok\n");
        } else {
            Respond(s, now, "503 Service Unavailable", "text/plain", why + "\n");
        }
    } else {
        body_.clear();
        source_.WriteMetrics(body_);
        WriteOwnMetrics(body_);
        Respond(s, now, "200 OK", "text/plain; version=0.0.4; charset=utf-8", body_);
    }
}

void CMetricsEndpoint::Respond(Scraper& s, std::uint32_t now, const char* status, const char* type,
                               const std::string& body) {
    char head[256];
    std::snprintf(head, sizeof head,
                  "HTTP/1.1 %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n"
                  "Connection: close\r\n\r\n",
                  status, type, body.size());
    s.answer.assign(head);
    s.answer += body;
    s.sent = 0;
    s.answering = true;
    s.deadline = now + kAnswerMs;
    s.request.clear();
    ++answered_;
}

void CMetricsEndpoint::Answer(Scraper& s) {
    std::size_t left = s.answer.size() - s.sent;
    int chunk = left > 65536 ? 65536 : static_cast<int>(left);
    int sent = Platform().Send(s.socket, s.answer.data() + s.sent, chunk);
    if (sent == kIoError) {
        End(s, true);
        return;
    }
    if (sent > 0) {
        s.sent += static_cast<std::size_t>(sent);
    }
    if (s.sent == s.answer.size()) {
        End(s, false);
    }
}

void CMetricsEndpoint::WriteOwnMetrics(std::string& out) const {
    CExposition w(out);
    w.Family("tovrel_metrics_scrapers", "gauge", "Connections to the metrics endpoint now.");
    w.Sample(Scrapers());
    w.Family("tovrel_metrics_requests_total", "counter",
             "Requests answered by the metrics endpoint, errors included.");
    w.SampleUnsigned(answered_);
    w.Family("tovrel_metrics_refused_total", "counter",
             "Connections to the metrics endpoint refused because every place was taken.");
    w.SampleUnsigned(refused_);
    w.Family("tovrel_metrics_bad_requests_total", "counter",
             "Requests to the metrics endpoint refused as too large or malformed.");
    w.SampleUnsigned(bad_);
    w.Family("tovrel_metrics_dropped_total", "counter",
             "Metrics endpoint connections dropped for not sending a request or not reading the "
             "answer in time.");
    w.SampleUnsigned(dropped_);
}
