// A build without OpenSSL: the TLS options are refused at start.
#include "server/tls_listener.h"

bool TlsSupported() {
    return false;
}

bool OpenTlsListener(CServer&, const CSettings&) {
    return false;
}
