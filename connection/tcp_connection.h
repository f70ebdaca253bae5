#pragma once

#include "connection/connection.h"

// Plain TCP: the socket's bytes are the frames, both ways.
class CTcpConnection : public CConnection {
  public:
    explicit CTcpConnection(SocketHandle socket) : socket_(socket) {}
    ~CTcpConnection() override { Close(false); }

    SocketHandle Socket() const override { return socket_; }
    int Receive(void* buffer, int length) override;
    int Send(const SendSlice* slices, int count) override;
    void Close(bool discard) override;
    bool FinishSending() override;
    const CEncoding& Encoding() const override { return LengthFrameEncoding(); }

  private:
    SocketHandle socket_;
};
