#include "tools/tovrel_client/line_splitter.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Lines as they come out; a dropped line shows as "<too long N>".
std::vector<std::string> Drain(CLineSplitter* splitter) {
    std::vector<std::string> out;
    std::string line;
    std::size_t length = 0;
    for (;;) {
        const CLineSplitter::Result r = splitter->Next(&line, &length);
        if (r == CLineSplitter::kNone) {
            return out;
        }
        out.push_back(r == CLineSplitter::kLine ? line
                                                : "<too long " + std::to_string(length) + ">");
    }
}

void Feed(CLineSplitter* splitter, const std::string& text) {
    splitter->Feed(text.data(), text.size());
}

TEST(CLineSplitter, CutsAtLineFeedsAndDropsOneCarriageReturn) {
    CLineSplitter splitter(100);
    Feed(&splitter, "alpha\nbeta\r\n\ngamma\r\r\n");
    EXPECT_EQ(Drain(&splitter), (std::vector<std::string>{"alpha", "beta", "", "gamma\r"}));
}

TEST(CLineSplitter, JoinsPiecesAndKeepsNulAndOtherBytes) {
    CLineSplitter splitter(100);
    Feed(&splitter, "par");
    EXPECT_TRUE(Drain(&splitter).empty());
    Feed(&splitter, std::string("t\0one\nsec", 9));
    EXPECT_EQ(Drain(&splitter), (std::vector<std::string>{std::string("part\0one", 8)}));
    Feed(&splitter, "ond\n");
    EXPECT_EQ(Drain(&splitter), (std::vector<std::string>{"second"}));
}

TEST(CLineSplitter, FinishTurnsAnUnterminatedRestIntoALine) {
    CLineSplitter splitter(100);
    Feed(&splitter, "done\nlast");
    splitter.Finish();
    EXPECT_EQ(Drain(&splitter), (std::vector<std::string>{"done", "last"}));

    CLineSplitter ended(100);
    Feed(&ended, "only\n");
    ended.Finish();  // no empty extra line after a final line feed
    EXPECT_EQ(Drain(&ended), (std::vector<std::string>{"only"}));
}

TEST(CLineSplitter, DropsOverlongLinesButKeepsTheLimitAndTheFollowingLines) {
    CLineSplitter splitter(8);
    Feed(&splitter, "12345678\n");    // exactly the limit
    Feed(&splitter, "12345678\r\n");  // the limit with a CR LF end
    Feed(&splitter, "123456789\n");   // one past it, caught at the end
    Feed(&splitter, "1234567");       // one past it over many pieces
    Feed(&splitter, "89abcdef");
    Feed(&splitter, "ghij\nafter\n");
    Feed(&splitter, "123456789012");  // too long and never terminated
    splitter.Finish();
    EXPECT_EQ(Drain(&splitter),
              (std::vector<std::string>{"12345678", "12345678", "<too long 9>", "<too long 19>",
                                        "after", "<too long 12>"}));
}

}  // namespace
