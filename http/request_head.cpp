#include "http/request_head.h"

namespace {

constexpr std::size_t kNone = std::string_view::npos;

// Where the lines end within what has come (`lines`, each line with its
// end) and the head itself (`size`, past the blank line); false while the
// blank line has not come.
bool FindHeadEnd(std::string_view seen, HttpLineEnds ends, std::size_t& lines, std::size_t& size) {
    std::size_t crlf = seen.find("\r\n\r\n");
    std::size_t lf = ends == HttpLineEnds::kCrlfOrLf ? seen.find("\n\n") : kNone;
    if (crlf != kNone && (lf == kNone || crlf + 2 <= lf)) {
        lines = crlf + 2;
        size = crlf + 4;
        return true;
    }
    if (lf != kNone) {
        lines = lf + 1;
        size = lf + 2;
        return true;
    }
    return false;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view s) {
    std::size_t b = s.find_first_not_of(" \t");
    if (b == kNone) {
        return std::string_view();
    }
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

CHttpRequestHead::CHttpRequestHead(std::string_view bytes, std::size_t maxBytes, HttpLineEnds ends)
    : ends_(ends) {
    std::string_view seen = bytes.substr(0, maxBytes);
    std::size_t lines = 0;
    if (!FindHeadEnd(seen, ends, lines, size_)) {
        status_ = bytes.size() >= maxBytes ? kTooLarge : kIncomplete;
        return;
    }
    status_ = kWhole;
    lines_ = seen.substr(0, lines);

    std::string_view line;
    NextLine(line);
    std::size_t sp1 = line.find(' ');
    std::size_t sp2 = sp1 == kNone ? kNone : line.find(' ', sp1 + 1);
    if (sp2 == kNone || line.find(' ', sp2 + 1) != kNone) {
        return;
    }
    requestLine_ = true;
    method_ = line.substr(0, sp1);
    target_ = line.substr(sp1 + 1, sp2 - sp1 - 1);
    version_ = line.substr(sp2 + 1);
}

bool CHttpRequestHead::NextLine(std::string_view& line) {
    if (lines_.empty()) {
        return false;
    }
    // Every line of `lines_` has its end, the last one included.
    if (ends_ == HttpLineEnds::kCrlf) {
        std::size_t end = lines_.find("\r\n");
        line = lines_.substr(0, end);
        lines_.remove_prefix(end + 2);
        return true;
    }
    std::size_t end = lines_.find('\n');
    line = lines_.substr(0, end);
    lines_.remove_prefix(end + 1);
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return true;
}

CHttpRequestHead::FieldRead CHttpRequestHead::NextField(CHttpField& field) {
    std::string_view line;
    if (status_ != kWhole || !NextLine(line)) {
        return kEnd;
    }
    std::size_t colon = line.find(':');
    // A blank at the start would continue the line before (obsolete
    // folding); one before the colon makes the name ambiguous.
    if (colon == kNone || colon == 0 || IsBlank(line[0]) || line.find_first_of(" \t") < colon) {
        return kMalformed;
    }
    field.name = line.substr(0, colon);
    field.value = TrimBlanks(line.substr(colon + 1));
    return kField;
}

bool HttpEqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return true;
}

bool HttpListHas(std::string_view list, std::string_view token) {
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == kNone) {
            comma = list.size();
        }
        if (HttpEqualsNoCase(TrimBlanks(list.substr(start, comma - start)), token)) {
            return true;
        }
        start = comma + 1;
    }
    return false;
}
