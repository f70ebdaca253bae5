// A second program that tries to take over a TCP port, the way any Windows
// program can with SO_REUSEADDR. Used to show that the server's listening
// port cannot be shared while it serves.
//
//   bind_probe try <port>   binds <port> with SO_REUSEADDR on 0.0.0.0 and on
//                           127.0.0.1 in turn, listens, and prints one line
//                           per address: "<address> bound" or
//                           "<address> refused <WSA error>". Exit status:
//                           the number of addresses it could bind (0 = none).
//   bind_probe hold <port>  listens on 0.0.0.0:<port> with SO_REUSEADDR,
//                           prints "listening" and waits until its standard
//                           input closes (a stand-in for a server without
//                           exclusive use). Exit status 0, or 2 on failure.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock2.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A listening socket on address:port with SO_REUSEADDR, or INVALID_SOCKET
// with the Winsock error in *error.
SOCKET ListenShared(unsigned long address, unsigned short port, int* error) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        *error = WSAGetLastError();
        return INVALID_SOCKET;
    }
    BOOL one = TRUE;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one),
               static_cast<int>(sizeof one));
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(address);
    if (bind(s, reinterpret_cast<const sockaddr*>(&addr), static_cast<int>(sizeof addr)) ==
            SOCKET_ERROR ||
        listen(s, 5) == SOCKET_ERROR) {
        *error = WSAGetLastError();
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

int TryBoth(unsigned short port) {
    struct Target {
        const char* name;
        unsigned long address;
    };
    const Target targets[] = {{"0.0.0.0", INADDR_ANY}, {"127.0.0.1", INADDR_LOOPBACK}};
    int bound = 0;
    for (const Target& t : targets) {
        int error = 0;
        SOCKET s = ListenShared(t.address, port, &error);
        if (s == INVALID_SOCKET) {
            std::printf("%s refused %d\n", t.name, error);
        } else {
            std::printf("%s bound\n", t.name);
            ++bound;
            closesocket(s);
        }
    }
    return bound;
}

int Hold(unsigned short port) {
    int error = 0;
    SOCKET s = ListenShared(INADDR_ANY, port, &error);
    if (s == INVALID_SOCKET) {
        std::printf("refused %d\n", error);
        return 2;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    closesocket(s);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || (std::strcmp(argv[1], "try") != 0 && std::strcmp(argv[1], "hold") != 0)) {
        std::fprintf(stderr, "usage: bind_probe try|hold <port>\n");
        return 100;
    }
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        std::fprintf(stderr, "WSAStartup failed\n");
        return 100;
    }
    unsigned short port = static_cast<unsigned short>(std::atoi(argv[2]));
    int status = std::strcmp(argv[1], "try") == 0 ? TryBoth(port) : Hold(port);
    std::fflush(stdout);
    return status;
}
