#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

// One Redis command in the shape hiredis takes it (a count, the words and
// their lengths), put together word by word instead of in hand-counted
// arrays. A word is not copied: what it points at must outlive the command's
// Append. Numbers are written into the command itself, so it is neither
// copied nor moved. A command given more than kMaxWords words is Overflowed
// and is never to be sent.
class CRedisCommand {
  public:
    static constexpr int kMaxWords = 10;  // XADD with its fields

    CRedisCommand() = default;
    CRedisCommand(const CRedisCommand&) = delete;
    CRedisCommand& operator=(const CRedisCommand&) = delete;

    CRedisCommand& Word(const char* data, std::size_t length) {
        if (count_ == kMaxWords) {
            overflowed_ = true;
            return *this;
        }
        words_[count_] = data;
        lengths_[count_++] = length;
        return *this;
    }
    CRedisCommand& Word(const char* text) { return Word(text, std::strlen(text)); }
    CRedisCommand& Word(const std::string& text) { return Word(text.data(), text.size()); }
    CRedisCommand& Number(unsigned long long value) {
        if (count_ == kMaxWords) {
            overflowed_ = true;
            return *this;
        }
        char* text = numbers_[count_];
        int length = std::snprintf(text, kNumberSize, "%llu", value);
        return Word(text, static_cast<std::size_t>(length));
    }

    int Count() const { return count_; }
    const char** Words() { return words_; }
    const std::size_t* Lengths() const { return lengths_; }
    bool Overflowed() const { return overflowed_; }
    // Its size on the wire (RESP): *N, then $LENGTH and the word for each.
    std::size_t WireBytes() const {
        std::size_t bytes = std::to_string(count_).size() + 3;  // *N\r\n
        for (int i = 0; i < count_; ++i) {
            bytes += std::to_string(lengths_[i]).size() + lengths_[i] + 5;  // $N\r\n...\r\n
        }
        return bytes;
    }

  private:
    static constexpr int kNumberSize = 24;  // any 64-bit number
    const char* words_[kMaxWords] = {};
    std::size_t lengths_[kMaxWords] = {};
    char numbers_[kMaxWords][kNumberSize] = {};
    int count_ = 0;
    bool overflowed_ = false;
};
