#include "server/wss_listener.h"

// A build without OpenSSL or wslay: --wss-port is refused before serving.
bool WssSupported() {
    return false;
}

bool OpenWssListener(CServer&, const CSettings&) {
    return false;
}
