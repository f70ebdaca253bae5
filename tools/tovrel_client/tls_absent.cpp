// A build without OpenSSL: --tls is refused when the client starts.
#include "tools/tovrel_client/tls_link.h"

bool ClientTlsSupported() {
    return false;
}

std::unique_ptr<CTlsLink> StartTls(SocketHandle, const ClientOptions&, int, std::string* error) {
    *error = "this build has no TLS support (--tls)";
    return nullptr;
}
