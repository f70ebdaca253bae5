#include <new>

#include "connection/tcp_connection.h"
#include "server/listeners/connection_maker.h"

std::unique_ptr<CConnection> CTcpMaker::Make(SocketHandle accepted, CHandshakeBudget&) {
    std::unique_ptr<CConnection> connection(new (std::nothrow) CTcpConnection(accepted));
    if (connection == nullptr) {
        Platform().CloseSocket(accepted);
    }
    return connection;
}
