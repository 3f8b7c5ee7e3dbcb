#include "core/que.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> entry(uint32_t size, uint8_t fill) { return std::vector<uint8_t>(size, fill); }

}  // namespace

TEST(QueBounds, SlotSizeIsTheLargestEntry)
{
    QV_QUE q;
    auto big = entry(30976, 0x5a);
    EXPECT_EQ(1, q.enqueue(big.data(), 30976));

    auto tooBig = entry(30977, 0x11);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, q.enqueue(tooBig.data(), 30977));
    EXPECT_EQ("ENQENTRY DATA_SIZE_OVER:size=30977\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(29, q.freeSlots());

    std::vector<uint8_t> out(QV_QUE::kSlotSize, 0);
    ASSERT_EQ(1, q.dequeue(out.data()));
    EXPECT_EQ(big, out);
    EXPECT_EQ(0, q.dequeue(out.data()));
}

TEST(QueBounds, FullQueueRefusesAndKeepsItsEntries)
{
    QV_QUE q;
    for (int i = 0; i < 30; ++i) {
        uint8_t b = static_cast<uint8_t>(i);
        ASSERT_EQ(1, q.enqueue(&b, 1));
    }
    EXPECT_FALSE(q.hasRoom());
    EXPECT_EQ(0, q.freeSlots());
    uint8_t extra = 99;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, q.enqueue(&extra, 1));
    EXPECT_EQ("ENQUE ENTRY_OVER\n", testing::internal::GetCapturedStdout());

    std::vector<uint8_t> out(QV_QUE::kSlotSize);
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(1, q.dequeue(out.data()));
        EXPECT_EQ(i, out[0]);
    }
    EXPECT_TRUE(q.hasRoom());
}

TEST(QueOrder, FifoAcrossTheWrap)
{
    QV_QUE q;
    std::vector<uint8_t> out(QV_QUE::kSlotSize);
    int nextIn = 0, nextOut = 0;
    // 45 entries in, 45 out, at most 30 held: first fill 20, then alternate.
    for (int i = 0; i < 20; ++i, ++nextIn)
        ASSERT_EQ(1, q.enqueue(reinterpret_cast<uint8_t*>(&nextIn), 4));
    while (nextIn < 45) {
        ASSERT_EQ(1, q.enqueue(reinterpret_cast<uint8_t*>(&nextIn), 4));
        ++nextIn;
        ASSERT_EQ(1, q.dequeue(out.data()));
        int got;
        std::memcpy(&got, out.data(), 4);
        EXPECT_EQ(nextOut++, got);
    }
    while (q.dequeue(out.data())) {
        int got;
        std::memcpy(&got, out.data(), 4);
        EXPECT_EQ(nextOut++, got);
    }
    EXPECT_EQ(45, nextOut);
    EXPECT_EQ(15, q.writeIndexForTest());
    EXPECT_EQ(15, q.readIndexForTest());
}

TEST(QueOrder, DequeueCopiesTheWholeSlotAndLeavesOutputAloneWhenEmpty)
{
    QV_QUE q;
    std::vector<uint8_t> out(QV_QUE::kSlotSize, 0xee);
    EXPECT_EQ(0, q.dequeue(out.data()));
    EXPECT_EQ(std::vector<uint8_t>(QV_QUE::kSlotSize, 0xee), out);

    auto small = entry(40, 0x01);
    ASSERT_EQ(1, q.enqueue(small.data(), 40));
    ASSERT_EQ(1, q.dequeue(out.data()));
    // The 30936 bytes after the entry come from the slot, not from `out`.
    EXPECT_EQ(0x01, out[39]);
    EXPECT_NE(0xee, out[40]);
    EXPECT_NE(0xee, out[QV_QUE::kSlotSize - 1]);
}

TEST(QueOrder, ResetEmptiesAndRestartsAtSlotZero)
{
    QV_QUE q;
    uint8_t b = 7;
    for (int i = 0; i < 5; ++i)
        q.enqueue(&b, 1);
    std::vector<uint8_t> out(QV_QUE::kSlotSize);
    q.dequeue(out.data());
    testing::internal::CaptureStdout();
    q.reset();
    EXPECT_EQ("RESET QUE\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(30, q.freeSlots());
    EXPECT_EQ(0, q.writeIndexForTest());
    EXPECT_EQ(0, q.dequeue(out.data()));
}
