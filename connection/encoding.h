#pragma once

#include <cstddef>

#include "stream/shared_block.h"

// How a message is framed on one kind of connection. A relayed message is
// written once per encoding into a shared block, whatever the number of
// clients that use it.
class CEncoding {
  public:
    virtual ~CEncoding() {}
    // Bytes on the wire for a message of `length` bytes; -1 when no block
    // could hold them.
    virtual long long WireSize(std::size_t length) const = 0;
    // Writes the message behind what `block` holds (the caller checked its
    // room for WireSize) and returns where it starts.
    virtual int Write(CSharedBlock& block, const char* text, std::size_t length) const = 0;
    // This encoding's place among all of them, below kEncodingCount.
    virtual int Index() const = 0;
};

// How many framings there are (length frames and WebSocket frames), and
// encodings: each framing plain, and tagged for clients that resumed.
constexpr int kFramingCount = 2;
constexpr int kEncodingCount = 2 * kFramingCount;

// The 4-byte little-endian length, then the text.
const CEncoding& LengthFrameEncoding();
// One unmasked WebSocket frame per message (RFC 6455): a text message when
// the text is valid UTF-8, a binary one otherwise.
const CEncoding& WebSocketEncoding();
// The same framing for a tagged text (a position, one space, the text),
// kept apart so that a tagged frame is written once, as a plain one is.
// Its index is kFramingCount above the plain one's.
const CEncoding& TaggedEncoding(const CEncoding& plain);
inline bool IsTagged(const CEncoding& encoding) {
    return encoding.Index() >= kFramingCount;
}
// The header of that frame: its size (2, 4 or 10 bytes) for `length`.
int WebSocketHeaderSize(std::size_t length);
