// The room link's recovery of messages whose XADD was sent but never
// answered: a fault a real Redis cannot be made to show on demand (the link
// must break after Redis applied the command and before its reply arrived).
#include <hiredis/hiredis.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "room/reply_filter.h"
#include "room/room_link.h"
#include "server_fixture.h"

namespace {

using Command = std::vector<std::string>;

// A scripted Redis: commands are recorded, replies are RESP text the test
// queues, and the connection breaks when the test says so.
struct Script {
    std::vector<Command> commands;
    std::string replies;
    bool broken = false;
    int appendsBeforeFailure = -1;    // hiredis refuses the append after this many
    std::vector<std::string> opened;  // the address of each connection
    bool filtered = false;            // replies go through the reply filter, as from a socket
};

class ScriptedChannel : public CRedisChannel {
  public:
    explicit ScriptedChannel(Script* script) : script_(script) {}
    ~ScriptedChannel() override { Close(); }
    bool Open(const std::string& address, int) override {
        script_->opened.push_back(address);
        Close();
        script_->broken = false;
        reader_ = redisReaderCreate();
        return true;
    }
    void Close() override {
        if (reader_ != nullptr) {
            redisReaderFree(reader_);
            reader_ = nullptr;
        }
    }
    bool Append(int argc, const char** argv, const std::size_t* lengths) override {
        if (script_->appendsBeforeFailure == 0) {
            return false;
        }
        if (script_->appendsBeforeFailure > 0) {
            --script_->appendsBeforeFailure;
        }
        Command command;
        for (int i = 0; i < argc; ++i) {
            command.emplace_back(argv[i], lengths[i]);
        }
        script_->commands.push_back(command);
        return true;
    }
    bool Exchange() override {
        if (script_->broken) {
            return false;
        }
        heard_ = !script_->replies.empty();
        std::string passed;
        if (script_->filtered) {
            EXPECT_TRUE(filter_.Feed(script_->replies.data(), script_->replies.size(), &passed));
        } else {
            passed.swap(script_->replies);
        }
        redisReaderFeed(reader_, passed.data(), passed.size());
        script_->replies.clear();
        return true;
    }
    redisReply* NextReply() override {
        void* reply = nullptr;
        redisReaderGetReply(reader_, &reply);
        return static_cast<redisReply*>(reply);
    }
    std::size_t Unwritten() const override { return 0; }
    bool Heard() const override { return heard_; }
    std::string Error() const override {
        return script_->appendsBeforeFailure == 0 ? "Out of memory" : "broken by the script";
    }

  private:
    Script* script_;
    redisReader* reader_ = nullptr;
    CReplyFilter filter_;
    bool heard_ = false;
};

std::string Bulk(const std::string& text) {
    return "$" + std::to_string(text.size()) + "\r\n" + text + "\r\n";
}

std::string Entry(const std::string& id, const std::string& text, const std::string& origin) {
    return "*2\r\n" + Bulk(id) + "*4\r\n" + Bulk("m") + Bulk(text) + Bulk("o") + Bulk(origin);
}

// A stream's entries, oldest first, that answers XREVRANGE END - COUNT N as
// Redis does: newest first, from END ("+": the newest) back.
struct ModelStream {
    struct Stored {
        CStreamId id;
        std::string text;
    };
    std::vector<Stored> entries;

    void Add(std::uint64_t ms, std::uint64_t seq, const std::string& text) {
        entries.push_back({CStreamId{ms, seq}, text});
    }
    std::string RevRange(const Command& c) const {
        CStreamId end;
        bool newest = c[2] == "+";
        EXPECT_TRUE(newest || end.Parse(c[2].data(), c[2].size()));
        std::size_t count = std::stoul(c[5]);
        std::string page;
        std::size_t n = 0;
        for (auto e = entries.rbegin(); e != entries.rend() && n < count; ++e) {
            if (newest || !(end < e->id)) {
                page += Entry(e->id.ToString(), e->text, "aaaa:" + std::to_string(n + 1));
                ++n;
            }
        }
        return "*" + std::to_string(n) + "\r\n" + page;
    }
    std::string Info() const {
        return "*6\r\n" + Bulk("length") + ":" + std::to_string(entries.size()) + "\r\n" +
               Bulk("entries-added") + ":" + std::to_string(entries.size()) + "\r\n" +
               Bulk("last-generated-id") + Bulk(entries.back().id.ToString());
    }
};

std::vector<std::string> AddedTexts(const Script& script) {
    std::vector<std::string> texts;
    for (const Command& c : script.commands) {
        if (c[0] == "XADD") {
            texts.push_back(c[7]);
        }
    }
    return texts;
}

char* HeapText(const char* text) {
    char* copy = static_cast<char*>(std::malloc(std::strlen(text) + 1));
    std::strcpy(copy, text);
    return copy;
}

// Delivers into the server's relay, as a joined server does, and keeps
// the position each message was handed over at.
class RelayDelivery : public CRoomDelivery {
  public:
    void Deliver(char* message, const char* position) override {
        delivered.emplace_back(position, message);
        g_server.relay.Broadcast(message, position);
    }
    void ReplaceHistory(char** messages, const char* const* positions, std::size_t count) override {
        history.clear();
        for (std::size_t i = 0; i < count; ++i) {
            history.emplace_back(positions[i], messages[i]);
        }
        ++historiesSet;
        g_server.relay.SetHistory(messages, positions, count);
    }

    using Positioned = std::vector<std::pair<std::string, std::string>>;  // (position, text)
    Positioned delivered;
    Positioned history;  // as last handed over, oldest first
    int historiesSet = 0;
};

class RoomLinkTest : public ServerFixture {
  protected:
    // Brings a new link up against a room with nothing in it yet.
    void ConnectToAnEmptyRoom(CRoomLink& link, Script& script) {
        link.AfterClients(now);
        script.replies = "+OK\r\n+QUEUED\r\n+QUEUED\r\n*2\r\n-ERR no such key\r\n*0\r\n";
        link.BeforeClients(now);
        EXPECT_EQ(Console(), "Redis connected\n");
    }

    RelayDelivery delivery;
    long long now = 0;  // the pass clock the link is handed
};

TEST_F(RoomLinkTest, UnansweredAddsAreSentAgainOnlyIfTheStreamLacksThem) {
    Script script;
    CRoomLink link(delivery, std::unique_ptr<CRedisChannel>(new ScriptedChannel(&script)),
                   "127.0.0.1", 6379, "tovrel:r", "");
    ConnectToAnEmptyRoom(link, script);

    link.Publish(HeapText("one"));
    link.Publish(HeapText("two"));
    link.AfterClients(now);
    ASSERT_EQ(AddedTexts(script), (std::vector<std::string>{"one", "two"}));
    std::string originOfOne = script.commands[script.commands.size() - 3][9];

    // Redis took "one" in, then the link broke before any reply came.
    script.broken = true;
    link.BeforeClients(now);
    EXPECT_EQ(Console(), "Redis connection: broken by the script\nRedis lost, retrying\n");
    now += kFirstRetryMs;
    script.commands.clear();
    link.AfterClients(now);
    script.replies = "*6\r\n" + Bulk("length") + ":1\r\n" + Bulk("entries-added") + ":1\r\n" +
                     Bulk("first-entry") + Entry("5-0", "one", originOfOne);
    link.BeforeClients(now);
    EXPECT_EQ(Console(), "Redis connected\n");

    // Reading on first: nothing goes out until the stream shows what it has.
    link.AfterClients(now);
    EXPECT_TRUE(AddedTexts(script).empty());
    script.replies =
        "*1\r\n*2\r\n" + Bulk("tovrel:r") + "*1\r\n" + Entry("5-0", "one", originOfOne);
    link.BeforeClients(now);
    ASSERT_NE(g_server.relay.history[0], nullptr);
    EXPECT_STREQ(g_server.relay.history[0], "one");

    link.AfterClients(now);
    EXPECT_EQ(AddedTexts(script), (std::vector<std::string>{"two"}));
    EXPECT_EQ(script.commands.back(),
              (Command{"XREAD", "COUNT", "2000", "STREAMS", "tovrel:r", "5-0"}));
    EXPECT_EQ(Console(), "Sending 1 messages again\n");
}

// An append hiredis refuses would leave the replies out of step with what
// the link expects: it fails the connection instead, with hiredis's reason,
// and what was not written is sent again after reconnecting.
TEST_F(RoomLinkTest, RefusedAppendFailsTheConnectionWithItsReason) {
    Script script;
    CRoomLink link(delivery, std::unique_ptr<CRedisChannel>(new ScriptedChannel(&script)),
                   "127.0.0.1", 6379, "tovrel:r", "");
    ConnectToAnEmptyRoom(link, script);

    link.Publish(HeapText("one"));
    link.Publish(HeapText("two"));
    script.commands.clear();
    script.appendsBeforeFailure = 1;  // "one" is taken, "two" is not
    link.AfterClients(now);
    EXPECT_EQ(AddedTexts(script), (std::vector<std::string>{"one"}));
    EXPECT_EQ(Console(), "Redis connection: Out of memory\nRedis lost, retrying\n");
    // Failed at once: no read went out behind the refused command.
    EXPECT_EQ(script.commands.back()[0], "XADD");

    script.appendsBeforeFailure = -1;
    now += kFirstRetryMs;
    script.commands.clear();
    link.AfterClients(now);
    script.replies = "*6\r\n" + Bulk("length") + ":0\r\n" + Bulk("entries-added") + ":0\r\n" +
                     Bulk("first-entry") + "*-1\r\n";
    link.BeforeClients(now);
    EXPECT_EQ(Console(), "Redis connected\n");
    link.AfterClients(now);  // reads to the end first: "one" may be there
    script.replies = "*-1\r\n";
    link.BeforeClients(now);
    script.commands.clear();
    link.AfterClients(now);
    EXPECT_EQ(AddedTexts(script), (std::vector<std::string>{"one", "two"}));
}

// A host name is looked up on a thread of its own: the pass goes on while
// the look-up waits, the connection is made to the address found, and a
// failed look-up says why.
TEST_F(RoomLinkTest, HostNameIsLookedUpOffThePass) {
    Script script;
    CRoomLink link(delivery, std::unique_ptr<CRedisChannel>(new ScriptedChannel(&script)),
                   "redis.example", 6379, "tovrel:r", "");
    std::promise<void> answer;
    std::shared_future<void> answered = answer.get_future().share();
    std::atomic<bool> found{true};
    link.LookUpWith(
        [answered, &found](const std::string& host, std::string* address, std::string* error) {
            answered.wait();  // a DNS server that takes its time
            if (!found || host != "redis.example") {
                *error = "no such host";
                return false;
            }
            *address = "10.1.2.3";
            return true;
        });
    // Waits, in real time, for the look-up thread to be done.
    auto passesUntil = [&](const std::function<bool()>& done) {
        for (int i = 0; i < 5000 && !done(); ++i) {
            link.BeforeClients(now);
            link.AfterClients(now);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };

    for (int pass = 0; pass < 3; ++pass) {
        link.BeforeClients(now);
        link.AfterClients(now);  // returns although the look-up has no answer
    }
    EXPECT_TRUE(script.opened.empty());
    answer.set_value();
    passesUntil([&] { return !script.opened.empty(); });
    EXPECT_EQ(script.opened, (std::vector<std::string>{"10.1.2.3"}));

    script.broken = true;
    link.BeforeClients(now);
    EXPECT_EQ(Console(), "Redis connection: broken by the script\nRedis unreachable, retrying\n");
    found = false;
    now += kFirstRetryMs;
    std::string printed;
    passesUntil([&] {
        printed += Console();
        return !printed.empty();
    });
    EXPECT_EQ(printed, "Redis connection: cannot look up redis.example: no such host\n");
    EXPECT_EQ(script.opened.size(), 1u);
}

// With Sentinel: the primary is asked for, a read is delivered only once
// WAIT says a replica holds what it returned (otherwise it is made again
// from the same place), and a writer's message number is delivered once.
TEST_F(RoomLinkTest, WithSentinelEntriesAreDeliveredOnceOnAReplica) {
    Script script;
    CRoomLink link(delivery, std::unique_ptr<CRedisChannel>(new ScriptedChannel(&script)),
                   "127.0.0.1", 6379, "tovrel:r", "");
    link.UseSentinels({{"127.0.0.2", 26379}}, "p");
    link.AfterClients(now);
    ASSERT_EQ(script.opened, (std::vector<std::string>{"127.0.0.2"}));
    EXPECT_EQ(script.commands.back(), (Command{"SENTINEL", "get-master-addr-by-name", "p"}));
    script.replies = "*2\r\n" + Bulk("127.0.0.9") + Bulk("6380");
    link.BeforeClients(now);
    EXPECT_EQ(Console(), "Redis primary at 127.0.0.9:6380\n");
    link.AfterClients(now);
    ASSERT_EQ(script.opened.back(), "127.0.0.9");
    script.replies = "*3\r\n" + Bulk("master") + ":0\r\n*1\r\n*3\r\n" + Bulk("127.0.0.8") +
                     Bulk("6381") + Bulk("0") +
                     "+OK\r\n+QUEUED\r\n+QUEUED\r\n*2\r\n-ERR no such key\r\n*0\r\n";
    link.BeforeClients(now);
    EXPECT_EQ(Console(), "Redis connected\n");

    link.Publish(HeapText("mine"));
    script.commands.clear();
    link.AfterClients(now);
    ASSERT_EQ(script.commands.size(), 3u);
    EXPECT_EQ(script.commands[0][0], "XREAD");
    EXPECT_EQ(script.commands[1][0], "XADD");
    EXPECT_EQ(script.commands[2], (Command{"WAIT", "1", "100"}));
    std::string mine = script.commands[1][9];
    // The primary has it all, no replica yet: nothing is delivered.
    script.replies = "*1\r\n*2\r\n" + Bulk("tovrel:r") + "*1\r\n" +
                     Entry("1-0", "theirs", "aaaa:1") + Bulk("2-0") + ":0\r\n";
    link.BeforeClients(now);
    EXPECT_EQ(g_server.relay.history[0], nullptr);

    script.commands.clear();
    link.AfterClients(now);  // the same read again; "mine" is not sent twice
    ASSERT_EQ(script.commands.size(), 3u);
    EXPECT_EQ(script.commands[0],
              (Command{"XREAD", "COUNT", "2000", "STREAMS", "tovrel:r", "0-0"}));
    EXPECT_EQ(script.commands[1][0], "PUBLISH");
    script.replies = "*1\r\n*2\r\n" + Bulk("tovrel:r") + "*3\r\n" +
                     Entry("1-0", "theirs", "aaaa:1") + Entry("2-0", "mine", mine) +
                     Entry("3-0", "theirs", "aaaa:1") + ":0\r\n:1\r\n";
    link.BeforeClients(now);
    ASSERT_NE(g_server.relay.history[0], nullptr);
    EXPECT_STREQ(g_server.relay.history[0], "mine");
    EXPECT_STREQ(g_server.relay.history[1], "theirs");
    EXPECT_EQ(g_server.relay.history[2], nullptr);
    EXPECT_EQ(Console(), "Suppressed 1 duplicate messages\n");

    script.commands.clear();
    link.AfterClients(now);  // on a replica now: let go, never sent again
    EXPECT_TRUE(AddedTexts(script).empty());
    EXPECT_EQ(script.commands[0],
              (Command{"XREAD", "COUNT", "2000", "STREAMS", "tovrel:r", "3-0"}));
}

// A stall the pass clock cannot show (its step cut to its bound) may have
// let entries be trimmed before a read in flight reached Redis: that read
// is not taken, and the next batch looks where the stream stands first.
TEST_F(RoomLinkTest, AReadInFlightAcrossAStallIsMadeAgainAfterACheck) {
    Script script;
    CRoomLink link(delivery, std::unique_ptr<CRedisChannel>(new ScriptedChannel(&script)),
                   "127.0.0.1", 6379, "tovrel:r", "");
    ConnectToAnEmptyRoom(link, script);
    link.AfterClients(now);
    Command read = script.commands.back();
    ASSERT_EQ(read[0], "XREAD");

    link.Stalled();
    script.replies = "*1\r\n*2\r\n" + Bulk("tovrel:r") + "*1\r\n" + Entry("9-0", "late", "aaaa:1");
    link.BeforeClients(now);
    EXPECT_EQ(g_server.relay.history[0], nullptr);
    script.commands.clear();
    link.AfterClients(now);
    ASSERT_EQ(script.commands.size(), 2u);
    EXPECT_EQ(script.commands[0], (Command{"XINFO", "STREAM", "tovrel:r"}));
    EXPECT_EQ(script.commands[1], read);
}

// What comes past a reply's bound is read past, not kept: a text longer than
// a frame at once, the rest once the reply holds kMaxReplyBytes. Whole
// replies after it are kept again, and the bytes may come in any pieces.
TEST(ReplyFilterTest, LongBulksPastTheBoundBecomeTheirLength) {
    std::string big(131072, 'b');
    std::string reply = "*3\r\n" + Bulk("1-0") + Bulk(std::string(200000, 'x')) + "*40\r\n";
    for (int i = 0; i < 40; ++i) {
        reply += Bulk(big);
    }
    reply += Bulk("small") + "+OK\r\n" + Bulk(big);
    CReplyFilter filter;
    std::string out;
    for (std::size_t at = 0; at < reply.size(); at += 7000) {
        ASSERT_TRUE(
            filter.Feed(reply.data() + at, std::min<std::size_t>(7000, reply.size() - at), &out));
    }
    std::string expected = "*3\r\n" + Bulk("1-0") + ":200000\r\n*40\r\n";
    std::size_t kept = CReplyFilter::kMaxReplyBytes / big.size();
    for (std::size_t i = 0; i < 40; ++i) {
        expected += i < kept ? Bulk(big) : ":131072\r\n";
    }
    expected += Bulk("small") + "+OK\r\n" + Bulk(big);
    EXPECT_TRUE(out == expected);
    EXPECT_EQ(out.size(), expected.size());

    CReplyFilter broken;
    EXPECT_FALSE(broken.Feed("$12x\r\n", 6, &out));
    EXPECT_FALSE(broken.Error().empty());
}

// A read whose reply reached its bound delivers what came whole, reads the
// rest again with a smaller COUNT, and asks for more again after that; an
// entry whose text was read past is skipped.
TEST_F(RoomLinkTest, AReadPastItsBoundIsReadAgainInSmallerOnes) {
    Script script;
    CRoomLink link(delivery, std::unique_ptr<CRedisChannel>(new ScriptedChannel(&script)),
                   "127.0.0.1", 6379, "tovrel:r", "");
    ConnectToAnEmptyRoom(link, script);
    auto heldBack = [](const std::string& id, int length) {
        return "*2\r\n" + Bulk(id) + "*4\r\n" + Bulk("m") + ":" + std::to_string(length) + "\r\n" +
               Bulk("o") + Bulk("aaaa:9");
    };
    auto read = [&](const std::string& entries, int count) {
        return "*1\r\n*2\r\n" + Bulk("tovrel:r") + "*" + std::to_string(count) + "\r\n" + entries;
    };

    link.AfterClients(now);
    ASSERT_EQ(script.commands.back(),
              (Command{"XREAD", "COUNT", "2000", "STREAMS", "tovrel:r", "0-0"}));
    script.replies = read(Entry("1-0", "a", "aaaa:1") + Entry("2-0", "b", "aaaa:2") +
                              heldBack("3-0", 5) + heldBack("4-0", 5),
                          4);
    link.BeforeClients(now);
    link.AfterClients(now);
    EXPECT_EQ(script.commands.back(),
              (Command{"XREAD", "COUNT", "2", "STREAMS", "tovrel:r", "2-0"}));
    // Behind: where the stream stands is looked at first.
    EXPECT_EQ(script.commands[script.commands.size() - 2][0], "XINFO");
    script.replies = "*4\r\n" + Bulk("length") + ":4\r\n" + Bulk("entries-added") + ":4\r\n" +
                     read(Entry("3-0", "c", "aaaa:3") + heldBack("4-0", 200000), 2);
    link.BeforeClients(now);
    EXPECT_EQ(Console(), "Skipped room entry 4-0: text longer than a frame\n");
    link.AfterClients(now);
    EXPECT_EQ(script.commands.back(),
              (Command{"XREAD", "COUNT", "4", "STREAMS", "tovrel:r", "4-0"}));
    ASSERT_NE(g_server.relay.history[2], nullptr);
    EXPECT_STREQ(g_server.relay.history[0], "c");  // newest first
    EXPECT_STREQ(g_server.relay.history[1], "b");
    EXPECT_STREQ(g_server.relay.history[2], "a");
}

// Every message is handed over at its entry's id, the position every
// instance gives it: those of the history as well as those read on.
TEST_F(RoomLinkTest, MessagesAreHandedOverAtTheirEntriesIds) {
    Script script;
    CRoomLink link(delivery, std::unique_ptr<CRedisChannel>(new ScriptedChannel(&script)),
                   "127.0.0.1", 6379, "tovrel:r", "");
    link.AfterClients(now);
    script.replies = "+OK\r\n+QUEUED\r\n+QUEUED\r\n*2\r\n*4\r\n" + Bulk("entries-added") +
                     ":2\r\n" + Bulk("last-generated-id") + Bulk("7-0") + "*2\r\n" +
                     Entry("7-0", "b", "aaaa:2") + Entry("6-3", "a", "aaaa:1");
    link.BeforeClients(now);
    EXPECT_EQ(Console(), "Redis connected\n");
    EXPECT_EQ(delivery.history, (RelayDelivery::Positioned{{"6-3", "a"}, {"7-0", "b"}}));

    link.AfterClients(now);
    script.replies = "*1\r\n*2\r\n" + Bulk("tovrel:r") + "*2\r\n" + Entry("8-0", "c", "aaaa:3") +
                     Entry("8-1", "d", "aaaa:4");
    link.BeforeClients(now);
    EXPECT_EQ(delivery.delivered, (RelayDelivery::Positioned{{"8-0", "c"}, {"8-1", "d"}}));
}

// What the resume window changes in what is sent: the stream keeps at
// least the window (MAXLEN ~), and the first look at the stream reads as
// many entries (a page at most), exactly as many as without it otherwise.
TEST_F(RoomLinkTest, TheStreamKeepsAndTheAnchorReadsTheWindow) {
    struct Case {
        std::size_t window;
        unsigned long long maxLength;
        std::size_t anchorCount;
    };
    const std::size_t large = static_cast<std::size_t>(kStreamMaxLength) * 10;
    const Case cases[] = {
        {0, kStreamMaxLength, kHistoryScan},
        {kHistoryScan / 2, kStreamMaxLength, kHistoryScan},
        {kHistoryScan + 1, kStreamMaxLength, kHistoryScan + 1},
        {large, large, static_cast<std::size_t>(kReadCount)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.window);
        Script script;
        CRoomLink link(delivery, std::unique_ptr<CRedisChannel>(new ScriptedChannel(&script)),
                       "127.0.0.1", 6379, "tovrel:r", "");
        link.UseWindow(c.window);
        ConnectToAnEmptyRoom(link, script);
        ASSERT_GE(script.commands.size(), 4u);
        EXPECT_EQ(script.commands[2], (Command{"XREVRANGE", "tovrel:r", "+", "-", "COUNT",
                                               std::to_string(c.anchorCount)}));
        link.Publish(HeapText("one"));
        link.AfterClients(now);
        ASSERT_EQ(AddedTexts(script), (std::vector<std::string>{"one"}));
        const Command& add = script.commands[script.commands.size() - 2];
        EXPECT_EQ(add[2], "MAXLEN");
        EXPECT_EQ(add[4], std::to_string(c.maxLength));
    }
}

// With a window larger than a page, the first connection reads the
// stream's last entries backwards in pages, each within the reply's bound
// (entries held back by the filter are read again in a smaller page), and
// hands over the last `window` messages, oldest first, at their ids, before
// any read goes out.
TEST_F(RoomLinkTest, AWindowIsReadInBoundedPagesBeforeAnythingIsDelivered) {
    const std::size_t window = static_cast<std::size_t>(kReadCount) * 2 + kHistoryScan;
    const std::string big(CReplyFilter::kMaxReplyBytes / 64, 'x');  // 64 fill a reply
    ModelStream stream;
    for (std::size_t i = 0; i < window + kHistoryScan; ++i) {
        // Three entries per millisecond, so pages also end at a sequence 0.
        bool large = i >= window / 2 && i < window / 2 + 100;
        stream.Add(1000 + i / 3, i % 3, (large ? big : std::string("m")) + std::to_string(i));
    }
    Script script;
    script.filtered = true;
    CRoomLink link(delivery, std::unique_ptr<CRedisChannel>(new ScriptedChannel(&script)),
                   "127.0.0.1", 6379, "tovrel:r", "");
    link.UseWindow(window);
    link.AfterClients(now);
    ASSERT_EQ(script.commands.size(), 4u);
    script.replies =
        "+OK\r\n+QUEUED\r\n+QUEUED\r\n*2\r\n" + stream.Info() + stream.RevRange(script.commands[2]);
    std::vector<std::size_t> counts;  // of the pages after the first
    for (;;) {
        std::size_t sent = script.commands.size();
        link.BeforeClients(now);
        link.AfterClients(now);
        ASSERT_GT(script.commands.size(), sent);
        const Command& next = script.commands.back();
        if (next[0] != "XREVRANGE") {
            break;
        }
        EXPECT_EQ(delivery.historiesSet, 0);
        script.replies = stream.RevRange(next);
        counts.push_back(std::stoul(next[5]));
    }
    EXPECT_EQ(Console(), "Redis connected\n");
    EXPECT_EQ(script.commands.back(),
              (Command{"XREAD", "COUNT", std::to_string(kReadCount), "STREAMS", "tovrel:r",
                       stream.entries.back().id.ToString()}));
    // The large entries made a page come short: the next asked for fewer.
    ASSERT_GE(counts.size(), 2u);
    EXPECT_LT(counts.front(), static_cast<std::size_t>(kReadCount));
    EXPECT_LE(*std::max_element(counts.begin(), counts.end()),
              static_cast<std::size_t>(kReadCount));
    RelayDelivery::Positioned expected;
    for (std::size_t i = stream.entries.size() - window; i < stream.entries.size(); ++i) {
        expected.emplace_back(stream.entries[i].id.ToString(), stream.entries[i].text);
    }
    EXPECT_EQ(delivery.historiesSet, 1);
    EXPECT_TRUE(delivery.history == expected);
    EXPECT_EQ(delivery.history.size(), window);
}

}  // namespace
