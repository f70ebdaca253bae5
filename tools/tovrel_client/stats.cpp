// --stats: fetches /metrics from a server's metrics port and prints the
// main figures.
#include <chrono>
#include <cstdio>
#include <string>

#include "tools/tool_net/tool_net.h"
#include "tools/tovrel_client/modes.h"
#include "tools/tovrel_client/session.h"
#include "tools/tovrel_client/stats_text.h"

namespace {
// The most of an answer read: the metrics of a server are a few KiB.
constexpr std::size_t kMaxAnswer = 4u << 20;
}  // namespace

int RunStats(const ClientOptions& options) {
    std::string error;
    SocketHandle s = toolnet::Connect(options.host, options.port, options.timeoutMs, &error);
    if (s == INVALID_SOCKET) {
        std::fprintf(stderr, "tovrel-client: %s\n", error.c_str());
        return 1;
    }
    std::string request =
        "GET /metrics HTTP/1.1\r\nHost: " + options.host + "\r\nConnection: close\r\n\r\n";
    std::string answer;
    bool complete = false;
    if (toolnet::SendAll(s, request.data(), request.size())) {
        Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(options.timeoutMs);
        char buffer[16384];
        while (answer.size() < kMaxAnswer) {
            unsigned ready = toolnet::Wait(s, false, MsUntil(deadline));
            if ((ready & toolnet::kReadySocket) == 0) {
                break;  // time is up, or interrupted
            }
            int got = toolnet::Receive(s, buffer, sizeof buffer);
            if (got <= 0) {
                complete = got == 0;
                break;
            }
            answer.append(buffer, static_cast<std::size_t>(got));
        }
    }
    toolnet::Close(s);
    std::size_t body = answer.find("\r\n\r\n");
    if (!complete || body == std::string::npos) {
        std::fprintf(stderr, "tovrel-client: no whole answer from %s:%u within %d ms\n",
                     options.host.c_str(), static_cast<unsigned>(options.port), options.timeoutMs);
        return 1;
    }
    if (answer.compare(0, 13, "HTTP/1.1 200 ") != 0) {
        std::fprintf(stderr, "tovrel-client: %s:%u answered %s\n", options.host.c_str(),
                     static_cast<unsigned>(options.port),
                     answer.substr(0, answer.find('\r')).c_str());
        return 1;
    }
    std::string summary = SummarizeMetrics(answer.substr(body + 4));
    if (summary.empty()) {
        std::fprintf(stderr, "tovrel-client: %s:%u serves no tovrel metrics\n",
                     options.host.c_str(), static_cast<unsigned>(options.port));
        return 1;
    }
    std::fputs(summary.c_str(), stdout);
    return 0;
}
