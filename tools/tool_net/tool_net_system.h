#pragma once

// The socket calls that differ between POSIX and Winsock, as the shared
// Connect and SendAll (tool_net.cpp) need them; each system's file defines them.
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <cerrno>
#endif
#include <cstddef>
#include <string>

#include "tools/tool_net/tool_net.h"

namespace toolnet {
namespace sys {

#ifdef _WIN32
using NativeSocket = SOCKET;
constexpr int kTimedOut = WSAETIMEDOUT;
constexpr int kRefused = WSAECONNREFUSED;
#else
using NativeSocket = int;
constexpr int kTimedOut = ETIMEDOUT;
constexpr int kRefused = ECONNREFUSED;
#endif

inline NativeSocket Native(SocketHandle s) {
    return static_cast<NativeSocket>(s);
}

// A new socket for the address; INVALID_SOCKET with the error in *err.
SocketHandle OpenSocket(const addrinfo& address, int* err);
void SetBlocking(SocketHandle s, bool blocking);
// The error of the socket call that just failed.
int LastError();
// True for the error of a non-blocking connect that is still under way.
bool ConnectPending(int code);
// A readable text for a socket error, and for a getaddrinfo result.
std::string ErrorText(int code);
std::string ResolveErrorText(int code);
// One send of up to `length` bytes: the count sent, or <= 0 when the
// connection failed.
long SendSome(SocketHandle s, const char* data, std::size_t length);

}  // namespace sys
}  // namespace toolnet
