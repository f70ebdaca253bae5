#pragma once

#include "stream/stream.h"

// A heap-backed stream whose buffer holds `size` rounded up to a multiple of
// `blockSize` (a power of two); an empty stream owns no buffer. Only a shrink
// the heap refused in ConsumeFront leaves it larger, until the next resize.
// A resize that fails, or that would pass MaxSize(), leaves the stream unchanged.
// The owner may read `data` and `size` directly, and after moving bytes inside
// the buffer it calls SetSize and resets `position` itself.
class CMemoryStream : public CStream {
  public:
    explicit CMemoryStream(int blockSize);
    ~CMemoryStream() override;
    CMemoryStream(const CMemoryStream&) = delete;
    CMemoryStream& operator=(const CMemoryStream&) = delete;

    // Sets the logical length (negative means 0), reallocating only when the
    // block-rounded capacity changes. Returns false, changing nothing, when
    // memory runs out or the size would pass the stream limit.
    bool SetSize(int newSize);

    int Write(const void* src, int count) override;
    int Read(void* dst, int count) override;
    int Seek(int offset, int origin) override;

    // The largest size a stream with this block size can hold: beyond it the
    // 32-bit position arithmetic and block rounding would overflow.
    int MaxSize() const { return static_cast<int>(0x80000000u - static_cast<unsigned>(blockSize)); }
    // The bytes allocated for the buffer.
    int Capacity() const { return capacity_; }

    unsigned char* data;
    int position;
    int size;
    int blockSize;

  private:
    int RoundUp(int n) const;

    int capacity_;
};

// Drops the first `count` bytes of a stream, moving the rest to the front,
// and leaves the position at 0. A shrink the heap refuses keeps the larger
// buffer, so the stream stays valid.
void ConsumeFront(CMemoryStream& stream, int count);
