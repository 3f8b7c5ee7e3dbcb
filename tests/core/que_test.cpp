#include "core/que.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

// An entry fills at most one slot of 30976 bytes and dequeue copies the whole
// slot; thirty entries fit, the thirty-first is refused and the thirty kept;
// order holds across the wrap and reset restarts at slot zero.
TEST(Que, CapacityOrderWrapAndReset)
{
    QV_QUE q;
    std::vector<uint8_t> out(QV_QUE::kSlotSize, 0xee);
    EXPECT_EQ(0, q.dequeue(out.data()));
    EXPECT_EQ(0xee, out[0]);

    std::vector<uint8_t> big(30976, 0x5a), tooBig(30977, 0x11);
    EXPECT_EQ(1, q.enqueue(big.data(), 30976));
    EXPECT_EQ(0, q.enqueue(tooBig.data(), 30977));
    EXPECT_EQ(29, q.freeSlots());
    ASSERT_EQ(1, q.dequeue(out.data()));
    EXPECT_EQ(big, out);
    uint8_t one = 1;
    std::fill(out.begin(), out.end(), 0xee);
    ASSERT_EQ(1, q.enqueue(&one, 1));
    ASSERT_EQ(1, q.dequeue(out.data()));
    EXPECT_NE(0xee, out[QV_QUE::kSlotSize - 1]) << "the rest of the slot is copied too";

    int nextIn = 0, nextOut = 0;
    auto get = [&] {
        int v;
        std::memcpy(&v, out.data(), sizeof(v));
        EXPECT_EQ(nextOut++, v);
    };
    for (; nextIn < 30; ++nextIn) {
        ASSERT_EQ(1, q.enqueue(reinterpret_cast<uint8_t*>(&nextIn), 4)) << nextIn;
        EXPECT_EQ(29 - nextIn, q.freeSlots());
        EXPECT_EQ(nextIn < 29, q.hasRoom());
    }
    EXPECT_EQ(0, q.enqueue(&one, 1));
    for (; nextIn < 60; ++nextIn) {
        ASSERT_EQ(1, q.dequeue(out.data()));
        get();
        ASSERT_EQ(1, q.enqueue(reinterpret_cast<uint8_t*>(&nextIn), 4));
    }
    while (q.dequeue(out.data()))
        get();
    EXPECT_EQ(60, nextOut);
    EXPECT_EQ(2, q.writeIndexForTest());
    EXPECT_EQ(2, q.readIndexForTest());

    ASSERT_EQ(1, q.enqueue(&one, 1));
    q.reset();
    EXPECT_EQ(30, q.freeSlots());
    EXPECT_EQ(0, q.writeIndexForTest());
    EXPECT_EQ(0, q.dequeue(out.data()));
}
