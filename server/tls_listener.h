#pragma once

#include "server/server.h"
#include "server/settings.h"

// Whether this build speaks TLS (OpenSSL was found when it was built).
bool TlsSupported();
// Listens for TLS on settings.tlsPort, every local address, with the
// certificate and key (and client CA) the settings name, beside the main
// listener that `server` has opened. False, with the reason on standard
// error, when the files do not load or the port cannot be opened.
bool OpenTlsListener(CServer& server, const CSettings& settings);
