#pragma once

#include <cstddef>

// A heap block that frames are written into once and sent from by many
// output queues. Each holder keeps a reference; the last to let go frees
// it. Written bytes never change, so a queue may point into them while more
// frames are appended behind. Not thread-safe: the server has one thread.
class CSharedBlock {
  public:
    // An empty block with room for `capacity` bytes and one reference for
    // the caller; null when the heap refuses.
    static CSharedBlock* Make(int capacity);
    // Frame bytes for `length` bytes of text: the header and the text.
    // -1 when no block could hold them.
    static long long FrameSize(std::size_t length);

    int Room() const { return capacity_ - used_; }
    const unsigned char* Bytes() const { return reinterpret_cast<const unsigned char*>(this + 1); }
    // Writes the frame of `length` bytes of `text` behind what is there and
    // returns where it starts. The caller has checked Room().
    int AppendFrame(const char* text, std::size_t length);
    // Writes `length` bytes as they are behind what is there and returns
    // where they start, for encodings with a header of their own. The
    // caller has checked Room().
    int Append(const void* bytes, std::size_t length);
    // Starts writing from the front again; only for a block nobody else holds.
    bool Rewind();

    void Retain() { ++refs_; }
    void Release();

  private:
    CSharedBlock() = default;
    int refs_;
    int capacity_;
    int used_;
};
