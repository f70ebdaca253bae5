#include "tools/tovrel_client/frame_io.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<std::string> Drain(CFrameReader* reader) {
    std::vector<std::string> frames;
    std::string payload;
    while (reader->Next(&payload) == CFrameReader::kFrame) {
        frames.push_back(payload);
    }
    return frames;
}

TEST(EncodeFrame, LittleEndianLengthThenPayload) {
    EXPECT_EQ(EncodeFrame("@PING"), std::string("\x05\x00\x00\x00@PING", 9));
    EXPECT_EQ(EncodeFrame(""), std::string(4, '\0'));
    const std::string big(131072, 'x');
    EXPECT_EQ(EncodeFrame(big).substr(0, 4), std::string("\x00\x00\x02\x00", 4));
    EXPECT_EQ(EncodeFrame(big).size(), 131076u);
}

TEST(CFrameReader, AssemblesFramesFedOneByteAtATime) {
    const std::string bytes = EncodeFrame("first") + EncodeFrame(std::string("a\0b", 3)) +
                              EncodeFrame(std::string(70000, 'z'));
    CFrameReader reader;
    std::vector<std::string> frames;
    for (char c : bytes) {
        reader.Feed(&c, 1);
        std::vector<std::string> got = Drain(&reader);
        frames.insert(frames.end(), got.begin(), got.end());
    }
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], "first");
    EXPECT_EQ(frames[1], std::string("a\0b", 3));
    EXPECT_EQ(frames[2], std::string(70000, 'z'));
    EXPECT_EQ(reader.Pending(), 0u);
}

TEST(CFrameReader, SplitsSeveralFramesArrivingTogetherAndKeepsTheTail) {
    const std::string bytes = EncodeFrame("one") + EncodeFrame("two") + EncodeFrame("three");
    CFrameReader reader;
    // Everything but the last two bytes at once: two whole frames, a partial third.
    reader.Feed(bytes.data(), bytes.size() - 2);
    EXPECT_EQ(Drain(&reader), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(reader.Pending(), 4u + 3u);
    reader.Feed(bytes.data() + bytes.size() - 2, 2);
    EXPECT_EQ(Drain(&reader), (std::vector<std::string>{"three"}));
}

TEST(CFrameReader, RefusesImpossibleLengthsForGood) {
    CFrameReader negative;
    negative.Feed("\xff\xff\xff\xff", 4);
    std::string payload;
    EXPECT_EQ(negative.Next(&payload), CFrameReader::kBadLength);
    negative.Feed(EncodeFrame("ok").data(), 6);
    EXPECT_EQ(negative.Next(&payload), CFrameReader::kBadLength);

    CFrameReader tooLong;
    tooLong.Feed("\x01\x00\x02\x00", 4);  // 131073
    EXPECT_EQ(tooLong.Next(&payload), CFrameReader::kBadLength);

    CFrameReader largest;
    const std::string bytes = EncodeFrame(std::string(131072, 'q'));
    largest.Feed(bytes.data(), bytes.size());
    EXPECT_EQ(largest.Next(&payload), CFrameReader::kFrame);
    EXPECT_EQ(payload.size(), 131072u);
}

}  // namespace
