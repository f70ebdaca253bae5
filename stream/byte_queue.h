#pragma once

// A first-in first-out run of bytes on one heap buffer, for output that
// leaves in pieces. Bytes are appended at the back and consumed from the
// front by moving an offset, so consuming costs nothing per byte still
// queued. What is left is moved to the front only once the consumed part is
// at least as long as it, so each byte moved was paid for by one consumed.
// The buffer grows by doubling; a drained buffer is kept for the next bytes
// when it is at most `keepLimit` bytes, so a steady stream allocates nothing,
// and is freed otherwise. A growth the heap refuses changes nothing.
class CByteQueue {
  public:
    explicit CByteQueue(int keepLimit);
    ~CByteQueue();
    CByteQueue(const CByteQueue&) = delete;
    CByteQueue& operator=(const CByteQueue&) = delete;

    // Bytes queued, and where the first of them is (valid while Size() > 0).
    int Size() const { return tail_ - head_; }
    const unsigned char* Front() const { return data_ + head_; }
    // Bytes the buffer holds, queued or not.
    int Capacity() const { return capacity_; }

    // The capacity that appending `count` more bytes needs: Capacity() when
    // they fit, -1 when the queue would pass MaxSize().
    long long CapacityFor(int count) const;
    // Appends `count` bytes that the caller then writes at the pointer
    // returned. Null, with nothing changed, when the heap refuses.
    unsigned char* Append(int count);
    // Drops the first `count` bytes (at most Size()).
    void Consume(int count);
    // Drops everything and frees the buffer.
    void Release();

    static constexpr int MaxSize() { return 0x7FFFFC00; }

  private:
    void Resize(int capacity);

    unsigned char* data_;
    int head_;
    int tail_;
    int capacity_;
    int keepLimit_;
};
