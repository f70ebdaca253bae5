#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Bounds what one Redis reply can make the link hold. Sits between the
// socket and hiredis's reader and passes RESP2 through unchanged, except
// that a bulk string is never kept when
// - it is longer than a client's frame (no entry text can be), or
// - the reply it is in already holds kMaxReplyBytes of bulk bytes and it is
//   longer than kSmallBulk (entry IDs, field names and origins still pass);
// such a bulk is replaced by the integer ":LENGTH" and its bytes are read
// past as they arrive. A stream entry never holds an integer, so the link
// tells the two apart by LENGTH: past a frame, the entry is too long; within
// one, it was held back and is read again.
class CReplyFilter {
  public:
    static constexpr std::size_t kMaxReplyBytes = 4u << 20;
    static constexpr std::size_t kSmallBulk = 64;

    // Appends to *out what of `data` goes on to the reader. False, with
    // Error() saying why, when the bytes are not RESP2 as Redis sends it.
    bool Feed(const char* data, std::size_t length, std::string* out);
    const std::string& Error() const { return error_; }

  private:
    bool OnLine(std::string* out);
    // One element is complete: the arrays it ends are closed with it.
    void Completed();

    std::string line_;                   // a type line still incomplete
    std::size_t payloadLeft_ = 0;        // bulk bytes (and CRLF) still to come
    bool keeping_ = false;               // whether they go on or are read past
    std::vector<long long> openArrays_;  // elements still due, innermost last
    std::size_t replyBytes_ = 0;         // bulk bytes kept for this reply
    std::string error_;
};
