#include "server/listener.h"

#include <new>

#include "connection/tcp_connection.h"

std::unique_ptr<CConnection> CTcpMaker::Make(SocketHandle accepted) {
    std::unique_ptr<CConnection> connection(new (std::nothrow) CTcpConnection(accepted));
    if (connection == nullptr) {
        Platform().CloseSocket(accepted);
    }
    return connection;
}
