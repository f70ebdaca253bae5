// Event lines behind an output that takes them slowly, or not at all.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "console/console_backlog.h"
#include "fake_platform.h"

namespace {

void Add(CConsoleBacklog& backlog, FakePlatform& fake, const char* line) {
    backlog.Add(fake, line, std::strlen(line));
}

std::string Times(const std::string& text, int count) {
    std::string all;
    for (int i = 0; i < count; ++i) {
        all += text;
    }
    return all;
}

TEST(ConsoleBacklog, WholeLinesInOrderAndTheCountOfTheMissedAtTheirPlace) {
    FakePlatform fake;
    fake.outputRoom = 0;  // a reader that stopped
    char ring[64];
    CConsoleBacklog backlog(ring, sizeof ring);
    Add(backlog, fake, "New client connected\n");  // 21 bytes
    for (int i = 0; i < 8; ++i) {
        Add(backlog, fake, "@PING\n");  // 7 fit beside it, the 8th is counted
    }
    Add(backlog, fake, "Disconnected\n");
    EXPECT_EQ(fake.output, "");

    fake.outputRoom = 10;  // the reader takes a little
    backlog.Flush(fake);
    EXPECT_EQ(fake.output, "New client");
    // Room again, but behind the gap: counted, so the count stays in place.
    Add(backlog, fake, "@PING\n");

    fake.outputRoom = 1000;  // the reader keeps up again
    backlog.Flush(fake);
    EXPECT_EQ(fake.output,
              "New client connected\n" + Times("@PING\n", 7) + "3 console lines not written\n");
    EXPECT_TRUE(backlog.Empty());
    Add(backlog, fake, "TIMEOUT\n");  // straight out, nothing waits before it
    EXPECT_EQ(fake.output.substr(fake.output.size() - 8), "TIMEOUT\n");

    // A line the output takes in part waits for its rest.
    fake.output.clear();
    fake.outputRoom = 3;
    Add(backlog, fake, "Disconnected\n");
    EXPECT_FALSE(backlog.Empty());
    fake.outputRoom = 1000;
    backlog.Flush(fake);
    EXPECT_EQ(fake.output, "Disconnected\n");
}

TEST(ConsoleBacklog, AnOutputWithoutReaderIsLetGo) {
    FakePlatform fake;
    fake.outputRoom = 0;
    char ring[64];
    CConsoleBacklog backlog(ring, sizeof ring);
    for (int i = 0; i < 12; ++i) {
        Add(backlog, fake, "@PING\n");  // 10 wait, 2 are counted
    }
    fake.outputGone = true;
    backlog.Flush(fake);
    EXPECT_TRUE(backlog.Empty());
    Add(backlog, fake, "@PING\n");
    EXPECT_TRUE(backlog.Empty());
    EXPECT_EQ(fake.output, "");
}

}  // namespace
