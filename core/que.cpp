#include "core/que.h"

#include <cstdio>
#include <cstring>

QV_QUE::QV_QUE() : storage(new uint8_t[static_cast<size_t>(kCapacity) * kSlotSize])
{
    std::strcpy(name, "QV_QUE");
    std::memset(storage.get(), 0, static_cast<size_t>(kCapacity) * kSlotSize);
    reset();
}

void QV_QUE::reset()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        count = 0;
        writeIndex = 0;
        readIndex = 0;
        std::memset(storage.get(), 0, 4);
    }
    std::printf("RESET QUE\n");
}

int32_t QV_QUE::enqueue(const uint8_t* data, uint32_t size)
{
    if (size > kSlotSize) {
        std::printf("ENQENTRY DATA_SIZE_OVER:size=%d\n", static_cast<int>(size));
        return 0;
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (count >= kCapacity) {
        std::printf("ENQUE ENTRY_OVER\n");
        return 0;
    }
    if (size > 0) {
        std::memcpy(storage.get() + static_cast<size_t>(writeIndex) * kSlotSize, data, size);
    }
    count += 1;
    writeIndex = (writeIndex + 1) % kCapacity;
    return 1;
}

int32_t QV_QUE::dequeue(uint8_t* out)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (count < 1)
        return 0;
    std::memcpy(out, storage.get() + static_cast<size_t>(readIndex) * kSlotSize, kSlotSize);
    count -= 1;
    readIndex = (readIndex + 1) % kCapacity;
    return 1;
}

int32_t QV_QUE::peek(uint8_t* out, uint32_t size) const
{
    std::lock_guard<std::mutex> lock(mutex);
    if (count < 1)
        return 0;
    std::memcpy(out, storage.get() + static_cast<size_t>(readIndex) * kSlotSize, size < kSlotSize ? size : kSlotSize);
    return 1;
}

bool QV_QUE::hasRoom() const { return count.load() < kCapacity; }

int32_t QV_QUE::freeSlots() const { return kCapacity - count.load(); }

int32_t QV_QUE::writeIndexForTest() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return writeIndex;
}

int32_t QV_QUE::readIndexForTest() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return readIndex;
}
