// QV_QUE: the bounded hand-off between a connection thread and the event-loop
// thread. Thirty fixed slots of 30976 bytes are allocated once; entries are
// copied in and out whole under one mutex, so a reader never sees half an entry.
// Exactly two parties use one queue: its socket's worker thread and the
// event-loop thread. The queue never records an entry's length; in this
// program every entry is one tunnel packet whose header gives its size.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

class QV_QUE {
public:
    static constexpr int32_t kCapacity = 30;
    static constexpr uint32_t kSlotSize = 30976;

    QV_QUE();
    QV_QUE(const QV_QUE&) = delete;
    QV_QUE& operator=(const QV_QUE&) = delete;

    void reset();
    // 1 when stored, 0 when refused (oversized entry or full queue).
    int32_t enqueue(const uint8_t* data, uint32_t size);
    // 1 when an entry was taken; `out` must hold kSlotSize bytes and receives
    // the whole slot. 0 when empty; `out` is then untouched.
    int32_t dequeue(uint8_t* out);
    // Copies the first `size` bytes (at most a slot) of the oldest entry
    // without taking it; 1 when there is one, else 0.
    int32_t peek(uint8_t* out, uint32_t size) const;
    // Snapshots without the mutex: a later enqueue may still be refused.
    bool hasRoom() const;
    int32_t freeSlots() const;

    int32_t writeIndexForTest() const;
    int32_t readIndexForTest() const;

private:
    char name[7];
    std::atomic<int32_t> count{0};
    int32_t writeIndex = 0;  // guarded by mutex
    int32_t readIndex = 0;   // guarded by mutex
    std::unique_ptr<uint8_t[]> storage;
    mutable std::mutex mutex;
};
