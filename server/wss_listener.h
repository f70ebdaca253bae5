#pragma once

#include "server/server.h"
#include "server/settings.h"

// Whether this build has WebSocket clients over TLS (both OpenSSL and wslay
// were found when it was built).
bool WssSupported();
// Listens for WebSocket clients over TLS (wss://) on settings.wssPort, every
// local address, with the TLS listener's certificate, key and client CA and
// the WebSocket listener's origins. False, with the reason on standard
// error, when the files do not load or the port cannot be opened.
bool OpenWssListener(CServer& server, const CSettings& settings);
