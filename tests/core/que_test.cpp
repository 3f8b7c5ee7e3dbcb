#include "core/que.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> slot() { return std::vector<uint8_t>(QV_QUE::kSlotSize, 0xee); }

int intAt(const std::vector<uint8_t>& out)
{
    int v;
    std::memcpy(&v, out.data(), sizeof(v));
    return v;
}

}  // namespace

// An entry fills at most one slot of 30976 bytes: one byte more is refused
// with its trace and takes no slot. Dequeue copies the whole slot, and an
// empty queue leaves the output alone.
TEST(Que, SlotSizeIsTheLargestEntryAndDequeueCopiesTheWholeSlot)
{
    QV_QUE q;
    auto out = slot();
    EXPECT_EQ(0, q.dequeue(out.data()));
    EXPECT_EQ(slot(), out);

    std::vector<uint8_t> big(30976, 0x5a);
    EXPECT_EQ(1, q.enqueue(big.data(), 30976));
    std::vector<uint8_t> tooBig(30977, 0x11);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, q.enqueue(tooBig.data(), 30977));
    EXPECT_EQ("ENQENTRY DATA_SIZE_OVER:size=30977\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(29, q.freeSlots());
    ASSERT_EQ(1, q.dequeue(out.data()));
    EXPECT_EQ(big, out);

    std::vector<uint8_t> small(40, 0x01);
    out = slot();
    ASSERT_EQ(1, q.enqueue(small.data(), 40));
    ASSERT_EQ(1, q.dequeue(out.data()));
    // The 30936 bytes after the entry come from the slot, not from `out`.
    EXPECT_EQ(0x01, out[39]);
    EXPECT_NE(0xee, out[40]);
    EXPECT_NE(0xee, out[QV_QUE::kSlotSize - 1]);
    EXPECT_EQ(0, q.dequeue(out.data()));
}

// Thirty entries fit; the thirty-first is refused and the thirty are kept.
TEST(Que, FullQueueRefusesAndKeepsItsEntries)
{
    QV_QUE q;
    for (int i = 0; i < 30; ++i) {
        uint8_t b = static_cast<uint8_t>(i);
        ASSERT_EQ(1, q.enqueue(&b, 1)) << i;
        EXPECT_EQ(29 - i, q.freeSlots());
        EXPECT_EQ(i < 29, q.hasRoom());
    }
    uint8_t extra = 99;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, q.enqueue(&extra, 1));
    EXPECT_EQ("ENQUE ENTRY_OVER\n", testing::internal::GetCapturedStdout());

    auto out = slot();
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(1, q.dequeue(out.data()));
        EXPECT_EQ(i, out[0]);
    }
    EXPECT_EQ(0, q.dequeue(out.data()));
    EXPECT_TRUE(q.hasRoom());
}

TEST(Que, FifoAcrossTheWrapAndResetRestartsAtSlotZero)
{
    QV_QUE q;
    auto out = slot();
    int nextIn = 0, nextOut = 0;
    // 45 entries in, 45 out, at most 30 held: first fill 20, then alternate.
    for (; nextIn < 20; ++nextIn)
        ASSERT_EQ(1, q.enqueue(reinterpret_cast<uint8_t*>(&nextIn), 4));
    for (; nextIn < 45; ++nextIn) {
        ASSERT_EQ(1, q.enqueue(reinterpret_cast<uint8_t*>(&nextIn), 4));
        ASSERT_EQ(1, q.dequeue(out.data()));
        EXPECT_EQ(nextOut++, intAt(out));
    }
    while (q.dequeue(out.data()))
        EXPECT_EQ(nextOut++, intAt(out));
    EXPECT_EQ(45, nextOut);
    EXPECT_EQ(15, q.writeIndexForTest());
    EXPECT_EQ(15, q.readIndexForTest());

    ASSERT_EQ(1, q.enqueue(out.data(), 1));
    testing::internal::CaptureStdout();
    q.reset();
    EXPECT_EQ("RESET QUE\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(30, q.freeSlots());
    EXPECT_EQ(0, q.writeIndexForTest());
    EXPECT_EQ(0, q.dequeue(out.data()));
}
