#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/platform.h"

// Time between two looks at the token file's stamp: a changed file is read
// again within this much of the pass clock.
constexpr long long kTokenCheckMs = 2000;
// A token file larger than this is refused (it is no list of tokens).
constexpr long kMaxTokenFileBytes = 1L << 20;

// The tokens a client may show with "@AUTH <token>" as its first message:
// one per line of a file, read at start and again whenever the file
// changes. A line "TOKEN listen" gives a listen-only token (its client
// receives, but what it says is refused); a token also listed without
// " listen" is a full one. A file that later goes missing, cannot be read
// or holds no token leaves the last tokens in force. Tokens are never
// printed.
class CTokenGate {
  public:
    enum class Verdict { kAdmit, kWrongToken, kNotAuth };
    enum class Rights { kNone, kListen, kFull };

    // Reads the file at `path`; false, with why in *why, when it is missing,
    // unreadable, too large or holds no token. An empty path turns the gate off.
    bool Load(const std::string& path, std::string* why);
    // Turns the gate off and forgets the tokens.
    void Clear();
    bool Active() const { return !path_.empty(); }
    // From the pass, with the pass clock: every kTokenCheckMs, reads the file
    // again if its stamp changed (or the last read failed).
    void Check(long long now);
    // What a first message says: a known token, a wrong one, or no "@AUTH".
    // With kAdmit, *token (if given) receives the token shown.
    Verdict Judge(const char* message, std::string* token = nullptr) const;
    // Whether `token` is among the tokens now in force.
    bool Knows(const std::string& token) const { return RightsOf(token) != Rights::kNone; }
    // What `token` may do under the tokens now in force.
    Rights RightsOf(const std::string& token) const { return Find(token.data(), token.size()); }
    // Times the file was read with success (start included).
    int Reads() const { return reads_; }

  private:
    struct Token {
        std::string secret;
        bool listenOnly;
    };
    // The file's tokens into *tokens; false with why in *why.
    bool Read(std::vector<Token>* tokens, std::string* why);
    void Replace(std::vector<Token>* tokens);
    // The rights of the `length` bytes at `candidate`; every token is
    // compared in full, so the time does not tell which came near.
    Rights Find(const char* candidate, std::size_t length) const;

    std::string path_;
    std::vector<Token> tokens_;
    CPlatform::FileStamp stamp_ = {0, 0, 0, 0};
    bool stamped_ = false;
    // A line was printed for a failed read; none again until a read succeeds.
    bool failing_ = false;
    long long nextCheck_ = 0;
    int reads_ = 0;
};

// True when `candidate` (of `length` bytes) equals `secret`. Takes as long
// whatever the bytes, so the time of a refusal tells nothing of how near a
// guess came.
bool SameSecret(const std::string& secret, const char* candidate, std::size_t length);

// Overwrites `length` bytes that held a token, in a way the compiler keeps.
void WipeBytes(char* bytes, std::size_t length);
// Overwrites a text that held a token, then empties it.
void WipeText(std::string* text);

// The gate of this process.
extern CTokenGate g_tokens;
