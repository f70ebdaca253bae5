#pragma once

#include <cstddef>
#include <cstdint>

// Where the bytes sent stand within the server's own WebSocket frames, so
// that a control frame (a pong, a close) goes out only between two of them.
// It is told each frame's size as the frame is queued, in the order they go
// out, then how many bytes went; it never reads the bytes themselves. The
// sizes wait in a ring that grows by doubling; a drained ring of at most
// kKeptOutgoingFrames is kept for the next frames, so a steady stream
// allocates nothing.
class COutgoingFrames {
  public:
    // Frames a drained ring keeps room for.
    static constexpr int kKeptOutgoingFrames = 64;

    COutgoingFrames() = default;
    ~COutgoingFrames();
    COutgoingFrames(const COutgoingFrames&) = delete;
    COutgoingFrames& operator=(const COutgoingFrames&) = delete;

    // No frame is partly sent.
    bool AtBoundary() const { return frontSent_ == 0; }
    // The ring memory that queuing one more frame adds.
    std::size_t GrowthForOne() const;
    // A frame of `bytes` goes out after those queued before. False, with
    // nothing changed, when the ring cannot grow.
    bool Queue(std::uint32_t bytes);
    // `bytes` more went out, from the front.
    void Sent(std::uint64_t bytes);
    // The ring's memory.
    std::size_t Capacity() const { return static_cast<std::size_t>(capacity_) * sizeof *ring_; }
    // Frees the ring when no frame waits.
    void GiveBackSpare();
    // Forgets every frame and frees the ring.
    void Clear();

  private:
    std::uint32_t* ring_ = nullptr;
    int capacity_ = 0;  // a power of two, or 0
    int head_ = 0;
    int count_ = 0;
    std::uint32_t frontSent_ = 0;  // bytes of the front frame gone out
};
