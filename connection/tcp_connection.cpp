#include "connection/tcp_connection.h"

int CTcpConnection::Receive(void* buffer, int length) {
    return Platform().Recv(socket_, buffer, length);
}

int CTcpConnection::Send(const SendSlice* slices, int count) {
    return Platform().SendGather(socket_, slices, count);
}

bool CTcpConnection::FinishSending() {
    return Platform().ShutdownSend(socket_);
}

void CTcpConnection::Close(bool discard) {
    CloseSocketOnce(socket_, discard);
}
