#include "tools/tovrel_client/escape.h"

#include <gtest/gtest.h>

namespace {

std::string Bytes(std::initializer_list<unsigned char> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

TEST(EscapePayload, PassesPrintableAsciiAndWellFormedUtf8) {
    EXPECT_EQ(EscapePayload("hello, world ~!"), "hello, world ~!");
    // e-acute, euro sign, U+10348 and U+10FFFF: two, three and four bytes.
    const std::string utf8 = "\xC3\xA9 \xE2\x82\xAC \xF0\x90\x8D\x88 \xF4\x8F\xBF\xBF";
    EXPECT_EQ(EscapePayload(utf8), utf8);
    EXPECT_EQ(EscapePayload(""), "");
}

TEST(EscapePayload, NamesLineBreaksTabAndBackslash) {
    EXPECT_EQ(EscapePayload("a\nb\rc\td\\e"), "a\\nb\\rc\\td\\\\e");
    // An escaped text never contains a raw line break.
    EXPECT_EQ(EscapePayload("\r\n").find('\n'), std::string::npos);
}

TEST(EscapePayload, HexForOtherControlBytesAndNul) {
    EXPECT_EQ(EscapePayload(Bytes({'a', 0x00, 'b'})), "a\\x00b");
    EXPECT_EQ(EscapePayload(Bytes({0x1B, '[', '2', 'J'})), "\\x1b[2J");
    EXPECT_EQ(EscapePayload(Bytes({0x07, 0x7F, 0x1F})), "\\x07\\x7f\\x1f");
    // C1 controls are well-formed UTF-8 but act on terminals too.
    EXPECT_EQ(EscapePayload(Bytes({0xC2, 0x9B, 'x'})), "\\xc2\\x9bx");
    EXPECT_EQ(EscapePayload(Bytes({0xC2, 0xA0})), Bytes({0xC2, 0xA0}));
}

TEST(EscapePayload, HexForEveryByteOfIllFormedUtf8) {
    // A lone continuation byte, a truncated sequence at the end, a lead byte
    // followed by ASCII.
    EXPECT_EQ(EscapePayload(Bytes({0x80})), "\\x80");
    EXPECT_EQ(EscapePayload(Bytes({'a', 0xE2, 0x82})), "a\\xe2\\x82");
    EXPECT_EQ(EscapePayload(Bytes({0xC3, 'A'})), "\\xc3A");
    // Overlong "/", a UTF-16 surrogate, a code point past U+10FFFF, 0xFF.
    EXPECT_EQ(EscapePayload(Bytes({0xC0, 0xAF})), "\\xc0\\xaf");
    EXPECT_EQ(EscapePayload(Bytes({0xE0, 0x80, 0xAF})), "\\xe0\\x80\\xaf");
    EXPECT_EQ(EscapePayload(Bytes({0xED, 0xA0, 0x80})), "\\xed\\xa0\\x80");
    EXPECT_EQ(EscapePayload(Bytes({0xF4, 0x90, 0x80, 0x80})), "\\xf4\\x90\\x80\\x80");
    EXPECT_EQ(EscapePayload(Bytes({0xFF})), "\\xff");
    // A good sequence right after a bad byte survives.
    EXPECT_EQ(EscapePayload(Bytes({0xFE, 0xC3, 0xA9})), "\\xfe\xC3\xA9");
}

}  // namespace
