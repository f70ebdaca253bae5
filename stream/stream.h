#pragma once

// A byte stream with a current position. Counts and positions are signed
// 32-bit; operations report how many bytes they moved and never fail loudly.
class CStream {
  public:
    virtual ~CStream() {}

    // Writes up to `count` bytes at the position; returns the bytes written.
    virtual int Write(const void* src, int count) = 0;
    // Reads up to `count` bytes from the position; returns the bytes read.
    virtual int Read(void* dst, int count) = 0;
    // Moves the position (origin 0: start, 1: current, 2: end), clamped to
    // [0, length]; returns the new position.
    virtual int Seek(int offset, int origin) = 0;

    // Both are worked out with Seek, leaving the position where it was.
    virtual int GetLength();
    virtual int GetPosition();
};
