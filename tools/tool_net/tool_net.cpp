// What is the same on both systems: Connect tries every address the name
// resolves to, each with a non-blocking connect bounded by the time-out;
// SendAll repeats sends until every byte is out.
#include "tools/tool_net/tool_net.h"

#include "tools/tool_net/tool_net_system.h"

namespace toolnet {
namespace {

// Connects within timeoutMs; the socket is blocking again after. False with
// the error in *err.
bool ConnectWithin(SocketHandle s, const addrinfo& address, int timeoutMs, int* err) {
    const sys::NativeSocket n = sys::Native(s);
    sys::SetBlocking(s, false);
    if (::connect(n, address.ai_addr, static_cast<socklen_t>(address.ai_addrlen)) != 0) {
        const int code = sys::LastError();
        if (!sys::ConnectPending(code)) {
            *err = code;
            return false;
        }
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(n, &writable);
        FD_SET(n, &failed);
        timeval tv;
        tv.tv_sec = timeoutMs / 1000;
        tv.tv_usec = (timeoutMs % 1000) * 1000;
        const int r = ::select(static_cast<int>(n) + 1, nullptr, &writable, &failed, &tv);
        if (r <= 0) {
            *err = r == 0 ? sys::kTimedOut : sys::LastError();
            return false;
        }
        // A refused attempt is writable with SO_ERROR set (POSIX) or in the
        // failed set (Winsock).
        int soError = 0;
        socklen_t soLength = sizeof soError;
        ::getsockopt(n, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &soLength);
        if (soError != 0 || FD_ISSET(n, &failed)) {
            *err = soError != 0 ? soError : sys::kRefused;
            return false;
        }
    }
    sys::SetBlocking(s, true);
    return true;
}

}  // namespace

SocketHandle Connect(const std::string& host, std::uint16_t port, int timeoutMs,
                     std::string* error) {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    const int r = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (r != 0) {
        *error = sys::ResolveErrorText(r);
        return INVALID_SOCKET;
    }
    int lastError = 0;
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        SocketHandle s = sys::OpenSocket(*ai, &lastError);
        if (s == INVALID_SOCKET) {
            continue;
        }
        if (ConnectWithin(s, *ai, timeoutMs, &lastError)) {
            ::freeaddrinfo(list);
            return s;
        }
        Close(s);
    }
    ::freeaddrinfo(list);
    *error = lastError == sys::kTimedOut ? "no answer (timed out)" : sys::ErrorText(lastError);
    return INVALID_SOCKET;
}

bool SendAll(SocketHandle s, const void* data, std::size_t length) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        const long r = sys::SendSome(s, p, length);
        if (r <= 0) {
            return false;
        }
        p += r;
        length -= static_cast<std::size_t>(r);
    }
    return true;
}

}  // namespace toolnet
