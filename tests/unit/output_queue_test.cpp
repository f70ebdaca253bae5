#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "server/output_queue.h"
#include "stream/frame.h"
#include "stream/heap.h"

namespace {

int g_reallocCalls = 0;
void* CountingRealloc(void* block, std::size_t size) {
    ++g_reallocCalls;
    return std::realloc(block, size);
}

std::string Encoded(const std::string& text) {
    unsigned char header[frame::kHeaderSize];
    frame::EncodeLength(static_cast<std::int32_t>(text.size()), header);
    return std::string(reinterpret_cast<char*>(header), sizeof header) + text;
}

class OutputQueueTest : public ::testing::Test {
  protected:
    void TearDown() override { SetHeapRealloc(nullptr); }

    // Writes the frame of `text` into `block` and queues it.
    int Put(CSharedBlock* block, const std::string& text) {
        int at = block->AppendFrame(text.data(), text.size());
        EXPECT_TRUE(queue.Push(block, at, static_cast<int>(Encoded(text).size())));
        model += Encoded(text);
        return at;
    }
    // Sends up to `count` bytes gathered from the front, as a send that
    // takes only part would, and checks them against the model.
    void Take(int count) {
        SendSlice slices[kMaxSendSlices];
        int pieces = queue.Gather(slices, kMaxSendSlices, count);
        std::string got;
        for (int i = 0; i < pieces; ++i) {
            got.append(static_cast<const char*>(slices[i].data),
                       static_cast<size_t>(slices[i].length));
        }
        ASSERT_EQ(got, model.substr(0, got.size()));
        ASSERT_EQ(got.size(), std::min(model.size(), static_cast<size_t>(count)));
        queue.Consume(static_cast<int>(got.size()));
        model.erase(0, got.size());
        ASSERT_EQ(queue.Size(), static_cast<int>(model.size()));
    }

    COutputQueue queue{64};
    std::string model;
};

// Frames shared with another queue, sent in pieces that end inside frames:
// the bytes come out whole and in order, frames written one behind the
// other make one run, a warm queue allocates nothing, and each block is
// freed once its last holder has sent it (ASan sees the rest).
TEST_F(OutputQueueTest, SharedFramesGoOutInOrderInPartialPiecesWithoutAllocating) {
    COutputQueue other{64};
    CSharedBlock* block = nullptr;
    for (int round = 0; round < 3000; ++round) {
        std::string text(100 + round % 900, static_cast<char>('a' + round % 26));
        if (block == nullptr || block->Room() < static_cast<int>(text.size()) + 4) {
            if (block != nullptr) {
                block->Release();
            }
            block = CSharedBlock::Make(8192);
            ASSERT_NE(block, nullptr);
        }
        int at = Put(block, text);
        ASSERT_TRUE(other.Push(block, at, static_cast<int>(text.size()) + 4));
        if (round % 2 == 1) {
            Take(2000);  // a send that leaves the rest of a frame behind
            other.Consume(other.Size());
        }
        if (round == 1000) {  // the ring has reached its working size
            g_reallocCalls = 0;
            SetHeapRealloc(CountingRealloc);
        }
    }
    SetHeapRealloc(nullptr);
    EXPECT_LT(g_reallocCalls, 500);  // about one per 8 KiB block, none for the queue
    SendSlice slices[4];
    EXPECT_LE(queue.Gather(slices, 4, queue.Size()), 2);  // at most two blocks' runs
    Take(queue.Size());
    EXPECT_GT(queue.Capacity(), 0);  // drained, and kept for the next frames
    block->Release();
}

TEST_F(OutputQueueTest, LongRingIsGivenBackWhenDrainedAndAFailedGrowthChangesNothing) {
    std::string text = "backlog";
    std::vector<CSharedBlock*> blocks;
    for (int i = 0; i < 17; ++i) {  // one block each: no two frames make one run
        blocks.push_back(CSharedBlock::Make(1024));
    }
    for (int i = 0; i < 16; ++i) {
        Put(blocks[static_cast<size_t>(i)], text);
    }
    SetHeapRealloc([](void*, std::size_t) -> void* { return nullptr; });
    EXPECT_FALSE(queue.Push(blocks[16], blocks[16]->AppendFrame("x", 1), 5));  // a longer ring
    SetHeapRealloc(nullptr);
    EXPECT_EQ(queue.Size(), static_cast<int>(model.size()));
    for (int i = 0; i < 100; ++i) {
        Put(blocks[static_cast<size_t>(i % 2)], text);  // the two alternate: a run each
    }
    EXPECT_GT(queue.Capacity(), 1024);
    Take(queue.Size());
    EXPECT_EQ(queue.Capacity(), 0);  // past the keep limit: not kept
    for (CSharedBlock* block : blocks) {
        block->Release();
    }
}

}  // namespace
