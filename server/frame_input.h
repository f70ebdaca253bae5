#pragma once

#include "stream/memory_stream.h"

// A client's received bytes, cut into whole frames. Between turns it keeps
// at most one frame half received, from a frame boundary on. A turn's
// receive is lent to it by BeginCut: frames are cut straight from the lent
// bytes while nothing is kept, and from the kept bytes otherwise (the
// receive kept behind them first). Next hands out the whole frames one at
// a time; EndCut lets the cut ones go and returns what is left of lent
// bytes, for the owner to Keep. Keeping needs memory, so the owner asks its
// budget first (GrowthFor); the reader itself only moves bytes.
class CFrameInput {
  public:
    CFrameInput();
    CFrameInput(const CFrameInput&) = delete;
    CFrameInput& operator=(const CFrameInput&) = delete;

    // Bytes kept, and the memory that holds them.
    int Size() const { return kept_.size; }
    int Capacity() const { return kept_.Capacity(); }
    // The kept bytes, as they stand.
    const CMemoryStream& Kept() const { return kept_; }
    // Bytes still missing from the frame half received: just the header's
    // while that is incomplete; 0 when nothing is half received.
    int MissingBytes() const;
    // How much more memory keeping `count` more bytes takes (0 or more).
    long long GrowthFor(int count) const;
    // Appends `count` bytes to those kept; false when the memory for them
    // could not be had, and the stream would be out of step.
    bool Keep(const unsigned char* bytes, int count);

    // Starts cutting this turn's receive of `count` bytes at `lent`, which
    // stay lent until EndCut. When bytes were kept, the receive must have
    // been kept behind them, and is cut from there.
    void BeginCut(const unsigned char* lent, int count);
    // Whether a cut is under way (BeginCut, and no EndCut, StopCut or Clear
    // of the kept bytes it cuts from since).
    bool Cutting() const { return cutBytes_ != nullptr; }
    enum class Cut {
        kFrame,      // *payload and *length hold a whole frame's payload
        kNeedMore,   // no more whole frames in this turn's bytes
        kBadLength,  // an announced length is out of range: cutting stops
    };
    // The next whole frame of the cut. The payload is valid until EndCut.
    Cut Next(const unsigned char** payload, int* length);
    // Puts the frame Next just gave back in front of the rest, uncut, so
    // it waits with them (a sender over its rate).
    void PutBack() { cutOffset_ -= lastCut_; }
    // Ends the cut. The frames cut from kept bytes leave them at once;
    // what is left of lent bytes (a half frame) is returned for the owner
    // to Keep, with *restCount 0 when nothing is.
    const unsigned char* EndCut(int* restCount);
    // Ends the cut, leaving what is kept as it is.
    void StopCut() { cutBytes_ = nullptr; }

    // Frees what is kept, and ends a cut from it.
    void Clear();
    // Frees the buffer when nothing is kept.
    void GiveBackSpare();

  private:
    CMemoryStream kept_;
    // Where the cut stands: the lent bytes or `kept_`'s; null when none is
    // under way.
    const unsigned char* cutBytes_;
    int cutAvailable_;
    int cutOffset_;
    // Bytes of the frame Next gave last, its header with it.
    int lastCut_ = 0;
};
