#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "stream/byte_queue.h"
#include "stream/heap.h"

namespace {

int g_reallocCalls = 0;
void* CountingRealloc(void* block, std::size_t size) {
    ++g_reallocCalls;
    return std::realloc(block, size);
}

class ByteQueueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_reallocCalls = 0;
        SetHeapRealloc(CountingRealloc);
    }
    void TearDown() override { SetHeapRealloc(nullptr); }

    void Put(const std::string& bytes) {
        unsigned char* at = queue.Append(static_cast<int>(bytes.size()));
        ASSERT_NE(at, nullptr);
        std::memcpy(at, bytes.data(), bytes.size());
        model += bytes;
    }
    // Takes up to `count` bytes from the front and checks them against the model.
    void Take(int count) {
        if (count > queue.Size()) {
            count = queue.Size();
        }
        ASSERT_EQ(
            std::string(reinterpret_cast<const char*>(queue.Front()), static_cast<size_t>(count)),
            model.substr(0, static_cast<size_t>(count)));
        queue.Consume(count);
        model.erase(0, static_cast<size_t>(count));
        ASSERT_EQ(queue.Size(), static_cast<int>(model.size()));
    }

    CByteQueue queue{65536};
    std::string model;
};

TEST_F(ByteQueueTest, SteadyStreamInPartialPiecesAllocatesNothingOnceWarm) {
    for (int round = 0; round < 3000; ++round) {
        Put(std::string(100 + round % 900, static_cast<char>('a' + round % 26)));
        if (round % 3 == 2) {
            Take(3000);  // a send that leaves the rest of a frame behind
        }
        if (round == 1000) {  // one full cycle of sizes seen
            g_reallocCalls = 0;
        }
    }
    EXPECT_EQ(g_reallocCalls, 0);
    Take(queue.Size());
    EXPECT_GT(queue.Capacity(), 0);  // drained, and kept for the next bytes
}

TEST_F(ByteQueueTest, BacklogBufferIsGivenBackAsItDrains) {
    for (int i = 0; i < 64; ++i) {
        Put(std::string(4096, static_cast<char>('0' + i % 10)));
    }
    EXPECT_GE(queue.Capacity(), 64 * 4096);
    while (queue.Size() > 40000) {
        Take(8192);
    }
    EXPECT_LE(queue.Capacity(), 2 * 65536);  // shrunk once mostly gone
    Take(queue.Size());
    EXPECT_EQ(queue.Capacity(), 65536);  // drained: kept, at the keep limit
    Put(std::string(200000, 'x'));
    Take(queue.Size());
    EXPECT_EQ(queue.Capacity(), 0);  // past the keep limit: not kept
}

}  // namespace
