// The kinds a build has no library for: each says it is not supported, so
// its option is refused before serving, and makes nothing.
#include "server/listeners/kinds.h"

#ifndef TOVREL_WITH_TLS
bool TlsSupported() {
    return false;
}

void CountOpenSslHeap() {}

long long OpenSslHeapShared() {
    return 0;
}

std::shared_ptr<CTlsCredentials> LoadTlsCredentials(const std::string&, const std::string&,
                                                    const std::string&, std::string* error) {
    *error = "this build has no TLS support";
    return nullptr;
}

void ReplaceTlsCredentials(CTlsCredentials&, CTlsCredentials&) {}

std::unique_ptr<CConnectionMaker> MakeTlsMaker(std::shared_ptr<CTlsCredentials>) {
    return nullptr;
}
#endif

#ifndef TOVREL_WITH_WEBSOCKET
bool WebSocketSupported() {
    return false;
}

std::unique_ptr<CConnectionMaker> MakeWebSocketMaker(const std::vector<std::string>&, bool) {
    return nullptr;
}
#endif

#if !defined(TOVREL_WITH_TLS) || !defined(TOVREL_WITH_WEBSOCKET)
bool WssSupported() {
    return false;
}

std::unique_ptr<CConnectionMaker> MakeWssMaker(std::shared_ptr<CTlsCredentials>,
                                               const std::vector<std::string>&, bool) {
    return nullptr;
}
#endif
