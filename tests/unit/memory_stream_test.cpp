#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "stream/heap.h"
#include "stream/memory_stream.h"

namespace {

int g_reallocCalls = 0;
void* CountingRealloc(void* block, std::size_t size) {
    ++g_reallocCalls;
    return std::realloc(block, size);
}
void* FailingRealloc(void*, std::size_t) {
    ++g_reallocCalls;
    return nullptr;
}

class MemoryStreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_reallocCalls = 0;
        SetHeapRealloc(CountingRealloc);
    }
    void TearDown() override { SetHeapRealloc(nullptr); }
    CMemoryStream stream{1024};
};

TEST_F(MemoryStreamTest, CapacityFollowsSizeInWholeBlocks) {
    ASSERT_TRUE(stream.SetSize(1));
    EXPECT_EQ(stream.Capacity(), 1024);
    EXPECT_EQ(g_reallocCalls, 1);
    ASSERT_TRUE(stream.SetSize(1000));  // same block: no reallocation
    EXPECT_EQ(g_reallocCalls, 1);
    ASSERT_TRUE(stream.SetSize(1025));
    EXPECT_EQ(stream.Capacity(), 2048);
    EXPECT_EQ(g_reallocCalls, 2);
    ASSERT_TRUE(stream.SetSize(1024));  // shrinking across a boundary reallocates too
    EXPECT_EQ(g_reallocCalls, 3);
    ASSERT_TRUE(stream.SetSize(0));
    EXPECT_EQ(stream.data, nullptr);
    EXPECT_EQ(stream.size, 0);
}

TEST_F(MemoryStreamTest, NegativeSizeMeansEmptyAndPositionFollowsShrink) {
    stream.Write("abcdefgh", 8);
    ASSERT_TRUE(stream.SetSize(3));
    EXPECT_EQ(stream.position, 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(stream.data), 3), "abc");
    ASSERT_TRUE(stream.SetSize(-3));
    EXPECT_EQ(stream.size, 0);
    EXPECT_EQ(stream.position, 0);
}

TEST_F(MemoryStreamTest, SeekClampsToTheStream) {
    stream.Write("abcd", 4);
    EXPECT_EQ(stream.Seek(-5, 0), 0);
    EXPECT_EQ(stream.Seek(10, 2), 4);
    EXPECT_EQ(stream.position, 4);
    EXPECT_EQ(stream.Seek(-1, 1), 3);
    EXPECT_EQ(stream.Seek(3, 7), 3);  // unknown origin leaves the position
    EXPECT_EQ(stream.Seek(-2147483647, 1), 0);
    EXPECT_EQ(stream.Seek(2147483647, 1), 4);
    EXPECT_EQ(stream.GetLength(), 4);
    EXPECT_EQ(stream.GetPosition(), 4);
}

TEST_F(MemoryStreamTest, ReadAndWriteMoveThePosition) {
    EXPECT_EQ(stream.Write("hello", 0), 0);
    EXPECT_EQ(stream.Write("hello", -1), 0);
    EXPECT_EQ(stream.size, 0);
    EXPECT_EQ(stream.Write("hello", 5), 5);
    stream.Seek(1, 0);
    EXPECT_EQ(stream.Write("EL", 2), 2);  // overwrites inside the stream
    EXPECT_EQ(stream.size, 5);
    stream.Seek(2, 0);
    char buf[10] = {};
    EXPECT_EQ(stream.Read(buf, 10), 3);  // only what is left
    EXPECT_STREQ(buf, "Llo");
    EXPECT_EQ(stream.Read(buf, 10), 0);  // at the end
    EXPECT_EQ(stream.Read(buf, -4), 0);
    stream.Seek(0, 0);
    EXPECT_EQ(stream.Read(buf, 5), 5);
    EXPECT_EQ(std::string(buf, 5), "hELlo");
}

TEST_F(MemoryStreamTest, FailedGrowthLeavesTheStreamUnchanged) {
    stream.Write("abc", 3);
    unsigned char* before = stream.data;
    SetHeapRealloc(FailingRealloc);
    std::string big(2000, 'x');
    EXPECT_EQ(stream.Write(big.data(), 2000), 0);
    EXPECT_FALSE(stream.SetSize(5000));
    EXPECT_EQ(stream.data, before);
    EXPECT_EQ(stream.size, 3);
    EXPECT_EQ(stream.position, 3);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(stream.data), 3), "abc");
    // Growth inside the current block needs no allocation and still works.
    EXPECT_EQ(stream.Write("d", 1), 1);
}

TEST_F(MemoryStreamTest, FailedShrinkChangesNothing) {
    std::string big(3000, 'y');
    stream.Write(big.data(), 3000);
    unsigned char* before = stream.data;
    SetHeapRealloc(FailingRealloc);
    EXPECT_FALSE(stream.SetSize(10));
    SetHeapRealloc(nullptr);
    EXPECT_EQ(stream.size, 3000);
    EXPECT_EQ(stream.position, 3000);
    EXPECT_EQ(stream.data, before);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(stream.data), 3000), big);
    EXPECT_TRUE(stream.SetSize(0));  // freeing needs no allocation
    EXPECT_EQ(stream.data, nullptr);
}

TEST_F(MemoryStreamTest, CapacityCountsTheBufferKeptAfterARefusedShrink) {
    std::string big(2990, 'z');
    big += "0123456789";
    stream.Write(big.data(), 3000);
    SetHeapRealloc(FailingRealloc);
    ConsumeFront(stream, 2990);  // the bytes move; the shrink to one block is refused
    EXPECT_EQ(stream.size, 10);
    EXPECT_EQ(stream.position, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(stream.data), 10), big.substr(2990));
    EXPECT_EQ(stream.Capacity(), 3072);  // still held, so still counted
    // Once the heap gives way, the next resize brings the buffer back to the size.
    SetHeapRealloc(CountingRealloc);
    int calls = g_reallocCalls;
    ASSERT_TRUE(stream.SetSize(20));
    EXPECT_EQ(g_reallocCalls, calls + 1);
    EXPECT_EQ(stream.Capacity(), 1024);
}

TEST_F(MemoryStreamTest, RefusesToPassTheStreamLimit) {
    SetHeapRealloc(FailingRealloc);  // the limit must be checked before any allocation
    EXPECT_EQ(stream.MaxSize(), 2147483647 - 1023);
    EXPECT_FALSE(stream.SetSize(stream.MaxSize() + 1));
    EXPECT_FALSE(stream.SetSize(2147483647));
    EXPECT_EQ(g_reallocCalls, 0);
    stream.SetSize(0);
    SetHeapRealloc(nullptr);
    stream.Write("ab", 2);
    stream.Seek(0, 2);
    EXPECT_EQ(stream.Write("x", 2147483647), 0);  // position + count would overflow
    EXPECT_EQ(stream.size, 2);
}

}  // namespace
