#include "server/token_gate.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "console/console.h"

CTokenGate g_tokens;

namespace {
const char kAuthPrefix[] = "@AUTH ";
constexpr std::size_t kAuthPrefixLength = sizeof kAuthPrefix - 1;
// What ends the line of a listen-only token, after a blank.
const char kListenWord[] = "listen";
constexpr std::size_t kListenWordLength = sizeof kListenWord - 1;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
}  // namespace

void WipeBytes(char* bytes, std::size_t length) {
    volatile char* p = bytes;
    for (std::size_t i = 0; i < length; ++i) {
        p[i] = 0;
    }
}

void WipeText(std::string* s) {
    WipeBytes(&(*s)[0], s->size());
    s->clear();
}

bool SameSecret(const std::string& secret, const char* candidate, std::size_t length) {
    unsigned char differ = secret.size() != length ? 1 : 0;
    for (std::size_t i = 0; i < secret.size(); ++i) {
        unsigned char c = i < length ? static_cast<unsigned char>(candidate[i]) : 0;
        differ |= static_cast<unsigned char>(static_cast<unsigned char>(secret[i]) ^ c);
    }
    return differ == 0;
}

bool CTokenGate::Load(const std::string& path, std::string* why) {
    Clear();
    if (path.empty()) {
        return true;
    }
    path_ = path;
    std::vector<Token> tokens;
    CPlatform::FileStamp stamp = {0, 0, 0, 0};
    stamped_ = Platform().StampFile(path_.c_str(), &stamp);
    stamp_ = stamp;
    if (!Read(&tokens, why)) {
        Clear();
        return false;
    }
    Replace(&tokens);
    return true;
}

void CTokenGate::Clear() {
    std::vector<Token> none;
    Replace(&none);
    path_.clear();
    stamped_ = false;
    failing_ = false;
    nextCheck_ = 0;
    reads_ = 0;
}

void CTokenGate::Replace(std::vector<Token>* tokens) {
    for (Token& t : tokens_) {
        WipeText(&t.secret);
    }
    tokens_.swap(*tokens);
}

bool CTokenGate::Read(std::vector<Token>* tokens, std::string* why) {
    std::unique_ptr<std::FILE, FileCloser> file(Platform().OpenForReading(path_.c_str()));
    if (file == nullptr) {
        *why = "cannot be opened for reading";
        return false;
    }
    std::string text;
    char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        text.append(chunk, got);
        if (text.size() > static_cast<std::size_t>(kMaxTokenFileBytes)) {
            WipeText(&text);
            *why = "is larger than 1 MiB";
            return false;
        }
    }
    if (std::ferror(file.get())) {
        WipeText(&text);
        *why = "cannot be read";
        return false;
    }
    // One token a line, with " listen" after it for a listen-only one;
    // blanks around it, empty lines and lines that begin with '#' do not
    // count.
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::size_t first = at;
        std::size_t last = end;
        while (first < last && IsBlank(text[first])) {
            ++first;
        }
        while (last > first && IsBlank(text[last - 1])) {
            --last;
        }
        bool listenOnly =
            last - first > kListenWordLength + 1 &&
            text.compare(last - kListenWordLength, kListenWordLength, kListenWord) == 0 &&
            IsBlank(text[last - kListenWordLength - 1]);
        if (listenOnly) {
            last -= kListenWordLength;
            while (last > first && IsBlank(text[last - 1])) {
                --last;
            }
        }
        if (last > first && text[first] != '#') {
            tokens->push_back(Token{std::string(text, first, last - first), listenOnly});
        }
        at = end + 1;
    }
    WipeText(&text);
    if (tokens->empty()) {
        *why = "holds no token";
        return false;
    }
    ++reads_;
    return true;
}

void CTokenGate::Check(long long now) {
    if (path_.empty() || now < nextCheck_) {
        return;
    }
    nextCheck_ = now + kTokenCheckMs;
    CPlatform::FileStamp stamp = {0, 0, 0, 0};
    bool stamped = Platform().StampFile(path_.c_str(), &stamp);
    if (stamped && stamped_ && stamp == stamp_ && !failing_) {
        return;  // unchanged
    }
    std::vector<Token> tokens;
    std::string why;
    bool read = stamped && Read(&tokens, &why);
    if (!stamped) {
        why = "is missing";
    }
    stamped_ = stamped;
    stamp_ = stamp;
    if (!read) {
        for (Token& t : tokens) {
            WipeText(&t.secret);
        }
        if (!failing_) {
            ConsolePrint("Token file %s %s; the last tokens read stay in force\n", path_.c_str(),
                         why.c_str());
            failing_ = true;
        }
        return;
    }
    Replace(&tokens);
    ConsolePrint("Token file %s read again\n", path_.c_str());
    failing_ = false;
}

CTokenGate::Rights CTokenGate::Find(const char* candidate, std::size_t length) const {
    bool known = false;
    bool full = false;
    for (const Token& t : tokens_) {
        bool same = SameSecret(t.secret, candidate, length);
        known = same || known;
        full = (same && !t.listenOnly) || full;
    }
    return !known ? Rights::kNone : full ? Rights::kFull : Rights::kListen;
}

CTokenGate::Verdict CTokenGate::Judge(const char* message, std::string* token) const {
    if (std::strncmp(message, kAuthPrefix, kAuthPrefixLength) != 0) {
        return Verdict::kNotAuth;
    }
    const char* candidate = message + kAuthPrefixLength;
    std::size_t length = std::strlen(candidate);
    if (Find(candidate, length) == Rights::kNone) {
        return Verdict::kWrongToken;
    }
    if (token != nullptr) {
        token->assign(candidate, length);
    }
    return Verdict::kAdmit;
}
