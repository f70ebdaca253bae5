#pragma once

#include <cstddef>
#include <string_view>

// How the lines of a request head end, and so where the head ends.
enum class HttpLineEnds {
    kCrlf,      // CRLF only: the head ends at the first CRLF CRLF
    kCrlfOrLf,  // a bare LF as well (a CR before it is dropped): the head
                // ends at the first CRLF CRLF or LF LF, whichever is sooner
};

// One header field of a request head, blanks around its value left out.
struct CHttpField {
    std::string_view name;
    std::string_view value;
};

// An HTTP/1.x request head, read from the bytes that have come so far:
// whether it is whole, still coming or too large, then its request line
// split at its two spaces, then its header fields one by one. It looks
// only at the first `maxBytes` bytes, and refers into them without a copy,
// so they must outlive it. Which methods, targets, versions and fields are
// acceptable is for its user to judge.
class CHttpRequestHead {
  public:
    enum Status {
        kIncomplete,  // no end of the head yet, within the bound
        kTooLarge,    // `maxBytes` have come and the head has not ended in them
        kWhole,
    };
    enum FieldRead { kEnd, kField, kMalformed };

    CHttpRequestHead(std::string_view bytes, std::size_t maxBytes, HttpLineEnds ends);

    Status status() const { return status_; }
    // When whole: its bytes with the blank line that ends it. What follows
    // is not the head's.
    std::size_t size() const { return size_; }

    // When whole: whether the request line is METHOD SP TARGET SP VERSION,
    // with exactly those two spaces. The parts are empty otherwise.
    bool HasRequestLine() const { return requestLine_; }
    std::string_view method() const { return method_; }
    std::string_view target() const { return target_; }
    std::string_view version() const { return version_; }
    // The target without its query.
    std::string_view path() const { return target_.substr(0, target_.find('?')); }

    // The next header field, in order, into `field`; kMalformed for a line
    // that is not NAME ":" VALUE with no blank before the colon or at the
    // start; kEnd past the last one.
    FieldRead NextField(CHttpField& field);

  private:
    // The next line of the head, without its end; false past the last.
    bool NextLine(std::string_view& line);

    HttpLineEnds ends_;
    Status status_ = kIncomplete;
    std::size_t size_ = 0;
    std::string_view lines_;  // the lines not read yet, each with its end
    bool requestLine_ = false;
    std::string_view method_;
    std::string_view target_;
    std::string_view version_;
};

// Whether two names or tokens are the same, ASCII case aside (as HTTP
// compares header names and most tokens).
bool HttpEqualsNoCase(std::string_view a, std::string_view b);
// Whether a comma-separated field value (as Connection or Upgrade carry)
// holds `token`, case aside.
bool HttpListHas(std::string_view list, std::string_view token);
