#pragma once

#include "platform/platform.h"

// Where the bytes sent stand within the server's own WebSocket frames, so
// that a control frame (a pong, a close) is put only between two of them.
// Follows the headers of what was sent and skips the payloads.
class COutgoingFrames {
  public:
    bool AtBoundary() const { return left_ == 0 && have_ == 0; }
    // `sent` bytes of the pieces, from their start, have gone out.
    void Advance(const SendSlice* slices, int count, int sent);

  private:
    unsigned long long left_ = 0;  // payload bytes of the current frame still to go
    unsigned char header_[10] = {};
    int have_ = 0;  // header bytes seen of the next frame
    int need_ = 2;
};
