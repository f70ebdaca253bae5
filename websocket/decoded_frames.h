#pragma once

#include <cstddef>

// Received WebSocket messages as length frames, in the order they came:
// complete bytes at the front, then the message still being put together.
// Its memory grows as the bytes come, never ahead of them, and is kept
// between messages, so steady traffic allocates nothing.
class CDecodedFrames {
  public:
    CDecodedFrames() = default;
    ~CDecodedFrames();
    CDecodedFrames(const CDecodedFrames&) = delete;
    CDecodedFrames& operator=(const CDecodedFrames&) = delete;

    int Ready() const { return static_cast<int>(ready_ - read_); }
    // Bytes not handed out yet, the message being put together included.
    std::size_t Held() const { return size_ - read_; }
    // Copies up to `length` ready bytes out.
    int Take(void* buffer, int length);
    // A new message at the end: its length when its bytes may be handed out
    // as they come (a single binary frame), or -1 (ready once whole).
    bool Begin(long long knownLength);
    bool Append(const unsigned char* bytes, std::size_t length);
    // The message is whole.
    void Finish();
    // Drops the message being put together and, in its place, a length no
    // client may send, so the reader ends the connection as for a TCP
    // client's oversized frame.
    bool Refuse(unsigned long long length);
    bool Reserve(std::size_t more);
    // The memory that Reserve(more) would add.
    std::size_t GrowthFor(std::size_t more) const;
    std::size_t Capacity() const { return capacity_; }
    // Frees the memory kept between messages, when nothing is held.
    void GiveBackSpare();
    // Frees everything, held bytes too.
    void Clear();

  private:
    std::size_t CapacityFor(std::size_t more) const;

    unsigned char* data_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
    std::size_t ready_ = 0;
    std::size_t read_ = 0;
    std::size_t start_ = 0;  // the message being put together
    std::size_t length_ = 0;
    bool streaming_ = false;
};
