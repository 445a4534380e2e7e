// Image store: areas of firmware bytes by target address, and the store's lock.
// Address arithmetic that may reach past 0xFFFFFFFF is done in 64 bits, so that an area ending at the
// top of the address space never seems to touch one that starts at 0.
#include "image/image_store.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__SANITIZE_THREAD__)
#define IMAGE_STORE_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define IMAGE_STORE_TSAN 1
#endif
#endif
#ifndef IMAGE_STORE_TSAN
#define IMAGE_STORE_TSAN 0
#endif

namespace {

constexpr uint64_t ADDRESS_SPACE = uint64_t{1} << 32;
constexpr uint32_t FIRST_CAPACITY = 256;
constexpr int64_t LOCK_WAIT_MS = 10000;
// The wait as it stands: LOCK_WAIT_MS unless a test shortened it (ImageStore_SetLockWait).
std::atomic<int64_t> LockWaitMs{LOCK_WAIT_MS};

// Takes the store's lock for one operation and releases it at scope end; Ok() tells whether it was taken.
class StoreHold {
  public:
    explicit StoreHold(ImageStore* pStore) : pStore_(pStore), result_(ImageStore_Lock(pStore)) {}
    ~StoreHold() {
        if (result_ == 0)
            ImageStore_Unlock(pStore_);
    }
    StoreHold(const StoreHold&) = delete;
    StoreHold& operator=(const StoreHold&) = delete;
    bool Ok() const { return result_ == 0; }
    int Result() const { return result_; }

  private:
    ImageStore* pStore_;
    int result_;
};

uint64_t EndOf(const Area* p) {
    return uint64_t{p->Start} + p->Length;
}

// Gives the area a buffer of the given capacity, keeping its bytes. An area that had no buffer gets one
// whose present bytes read 0xFF (the erased-flash value), so data added next to it is never lost.
bool Regrow(Area* p, uint64_t capacity) {
    if (capacity > UINT32_MAX)
        return false;
    if (p->pBytes && capacity == p->Capacity)
        return true;
    uint8_t* pNew = static_cast<uint8_t*>(realloc(p->pBytes, capacity));
    if (!pNew)
        return false;
    if (!p->pBytes)
        memset(pNew, 0xFF, p->Length);
    p->pBytes = pNew;
    p->Capacity = static_cast<uint32_t>(capacity);
    return true;
}

// Capacity after making room for n more bytes: doubling while too small.
uint64_t GrownCapacity(const Area* p, uint64_t n) {
    if (!p->pBytes)
        return p->Length + n > FIRST_CAPACITY ? p->Length + n : FIRST_CAPACITY;
    uint64_t capacity = p->Capacity ? p->Capacity : FIRST_CAPACITY;
    while (capacity - p->Length < n)
        capacity *= 2;
    return capacity;
}

// Copies n bytes to pDest, or marks them erased when the caller gave none.
void PutBytes(uint8_t* pDest, const uint8_t* pBytes, uint32_t n) {
    if (pBytes)
        memcpy(pDest, pBytes, n);
    else
        memset(pDest, 0xFF, n);
}

Area* NewArea(uint32_t address, uint32_t length, const uint8_t* pBytes) {
    Area* p = new (std::nothrow) Area{nullptr, nullptr, address, length, 0};
    if (!p || !pBytes)
        return p;
    p->Capacity = length > FIRST_CAPACITY ? length : FIRST_CAPACITY;
    p->pBytes = static_cast<uint8_t*>(malloc(p->Capacity));
    if (!p->pBytes) {
        delete p;
        return nullptr;
    }
    memcpy(p->pBytes, pBytes, length);
    return p;
}

// The new bytes continue pPrev; pNext (may be none) is joined when they reach it. All memory is
// obtained before anything changes, so a failed allocation leaves the store as it was.
int ExtendUp(Area* pPrev, uint32_t n, const uint8_t* pBytes) {
    Area* pNext = pPrev->pNext;
    const bool join = pNext && EndOf(pPrev) + n == pNext->Start;
    const uint64_t joined = uint64_t{pPrev->Length} + n + (join ? pNext->Length : 0);
    if (joined > UINT32_MAX)
        return -1;
    const bool needBuffer = pBytes || pPrev->pBytes || (join && pNext->pBytes);
    if (needBuffer) {
        uint64_t capacity = GrownCapacity(pPrev, n);
        if (join && capacity < joined)
            capacity = 2 * (joined > FIRST_CAPACITY ? joined : FIRST_CAPACITY);
        if (!Regrow(pPrev, capacity))
            return -3;
        PutBytes(pPrev->pBytes + pPrev->Length, pBytes, n);
    }
    pPrev->Length += n;
    if (join) {
        if (needBuffer)
            PutBytes(pPrev->pBytes + pPrev->Length, pNext->pBytes, pNext->Length);
        pPrev->Length += pNext->Length;
        pPrev->pNext = pNext->pNext;
        free(pNext->pBytes);
        delete pNext;
    }
    return 0;
}

// The new bytes end where pNext begins: its bytes move up and the new ones go in front.
int ExtendDown(Area* pNext, uint32_t address, uint32_t n, const uint8_t* pBytes) {
    if (uint64_t{pNext->Length} + n > UINT32_MAX)
        return -1;
    if (pBytes || pNext->pBytes) {
        if (!Regrow(pNext, GrownCapacity(pNext, n)))
            return -3;
        memmove(pNext->pBytes + n, pNext->pBytes, pNext->Length);
        PutBytes(pNext->pBytes, pBytes, n);
    }
    pNext->Start = address;
    pNext->Length += n;
    return 0;
}

int AddLocked(ImageStore* pStore, uint32_t address, uint32_t length, const uint8_t* pBytes) {
    pStore->ModifiedCount++;
    const uint64_t end = uint64_t{address} + length;
    if (length == 0 || end > ADDRESS_SPACE)
        return -1;
    // pPrev: the last area starting below the address; *ppLink: where a new area would be linked in.
    Area* pPrev = nullptr;
    Area** ppLink = &pStore->pFirstArea;
    while (*ppLink && (*ppLink)->Start < address) {
        pPrev = *ppLink;
        ppLink = &pPrev->pNext;
    }
    Area* pNext = *ppLink;
    // Any shared address is refused, also a range that begins inside an area.
    if ((pPrev && EndOf(pPrev) > address) || (pNext && pNext->Start < end))
        return -1;
    if (pPrev && EndOf(pPrev) == address)
        return ExtendUp(pPrev, length, pBytes);
    if (pNext && pNext->Start == end)
        return ExtendDown(pNext, address, length, pBytes);
    Area* pNew = NewArea(address, length, pBytes);
    if (!pNew)
        return -3;
    pNew->pNext = pNext;
    *ppLink = pNew;
    return 0;
}

} // namespace

ImageStore* ImageStore_Create() {
    ImageStore* pStore = new (std::nothrow) ImageStore{nullptr, 1, 0, 0, nullptr, nullptr};
    if (pStore)
        pStore->pLock = new (std::nothrow) std::recursive_timed_mutex;
    return pStore;
}

void ImageStore_Destroy(ImageStore* pStore) {
    if (!pStore)
        return;
    for (Area* p = pStore->pFirstArea; p;) {
        Area* pNext = p->pNext;
        free(p->pBytes);
        delete p;
        p = pNext;
    }
    free(pStore->pPending);
    delete pStore->pLock;
    delete pStore;
}

int ImageStore_Lock(ImageStore* pStore) {
    if (!pStore->pLock)
        pStore->pLock = new (std::nothrow) std::recursive_timed_mutex;
    if (!pStore->pLock)
        return -2;
    // The untimed attempt first: it spares the clock reading on the uncontended path.
    if (pStore->pLock->try_lock())
        return 0;
    const std::chrono::milliseconds wait(LockWaitMs.load(std::memory_order_relaxed));
#if IMAGE_STORE_TSAN
    // ThreadSanitizer does not see the steady-clock wait (pthread_mutex_clocklock) and would report
    // every later unlock; under it the wait runs on the system clock, which it does see.
    const bool taken = pStore->pLock->try_lock_until(std::chrono::system_clock::now() + wait);
#else
    const bool taken = pStore->pLock->try_lock_for(wait);
#endif
    return taken ? 0 : -1;
}

void ImageStore_SetLockWait(uint32_t ms) {
    LockWaitMs.store(ms == 0 ? LOCK_WAIT_MS : ms, std::memory_order_relaxed);
}

void ImageStore_Unlock(ImageStore* pStore) {
    if (pStore->pLock)
        pStore->pLock->unlock();
}

// 0 added; -1 refused (empty range, past 0xFFFFFFFF, or sharing an address with an area); -3 out of
// memory. On every refusal only the modified count changes.
int ImageStore_AddBytes(ImageStore* pStore, uint32_t address, uint32_t length, const uint8_t* pBytes) {
    StoreHold hold(pStore);
    if (!hold.Ok())
        return hold.Result();
    return AddLocked(pStore, address, length, pBytes);
}

int ImageStore_GetByte(ImageStore* pStore, uint32_t address) {
    StoreHold hold(pStore);
    if (!hold.Ok())
        return -1;
    for (uint32_t i = pStore->PendingCount; i > 0; i--) {
        if (pStore->pPending[i - 1].Address == address)
            return 256 + pStore->pPending[i - 1].Value;
    }
    for (const Area* p = pStore->pFirstArea; p && p->Start <= address; p = p->pNext) {
        const uint32_t offset = address - p->Start;
        if (offset < p->Length)
            return p->pBytes ? p->pBytes[offset] : 0xFF;
    }
    return -1;
}

uint32_t ImageStore_FirstAddress(ImageStore* pStore) {
    StoreHold hold(pStore);
    if (!hold.Ok() || !pStore->pFirstArea)
        return 0;
    return pStore->pFirstArea->Start;
}

uint32_t ImageStore_LastAddress(ImageStore* pStore) {
    StoreHold hold(pStore);
    if (!hold.Ok() || !pStore->pFirstArea)
        return 0;
    const Area* p = pStore->pFirstArea;
    while (p->pNext)
        p = p->pNext;
    return p->Start + p->Length - 1;
}

uint32_t ImageStore_TotalBytes(ImageStore* pStore) {
    StoreHold hold(pStore);
    if (!hold.Ok())
        return 0;
    uint32_t total = 0;
    for (const Area* p = pStore->pFirstArea; p; p = p->pNext)
        total += p->Length;
    return total;
}

namespace {

struct Chunk {
    uint64_t Start;
    uint64_t Count; // 0: empty
};

// The stored addresses from p on, within [p, to], of the first area that reaches p.
Chunk FindChunk(const ImageStore* pStore, uint64_t p, uint32_t to) {
    if (p > to)
        return {0, 0};
    const Area* pArea = pStore->pFirstArea;
    while (pArea && EndOf(pArea) <= p)
        pArea = pArea->pNext;
    if (!pArea || pArea->Start > to)
        return {0, 0};
    const uint64_t first = pArea->Start > p ? pArea->Start : p;
    const uint64_t last = EndOf(pArea) - 1 < to ? EndOf(pArea) - 1 : to;
    return {first, last - first + 1};
}

// What GetByte gives for each address, low 8 bits: gaps and areas without bytes 0xFF, pending writes win.
void FillRange(const ImageStore* pStore, uint8_t* pDest, uint64_t start, uint64_t count) {
    memset(pDest, 0xFF, count);
    const uint64_t end = start + count;
    for (const Area* p = pStore->pFirstArea; p && p->Start < end; p = p->pNext) {
        const uint64_t from = p->Start > start ? p->Start : start;
        const uint64_t to = EndOf(p) < end ? EndOf(p) : end;
        if (p->pBytes && from < to)
            memcpy(pDest + (from - start), p->pBytes + (from - p->Start), to - from);
    }
    for (uint32_t i = 0; i < pStore->PendingCount; i++) {
        const uint64_t offset = pStore->pPending[i].Address - start; // wraps above 'end' when below start
        if (pStore->pPending[i].Address >= start && offset < count)
            pDest[offset] = pStore->pPending[i].Value;
    }
}

uint64_t AlignMask(int bits) {
    if (bits <= 0)
        return 0;
    return (uint64_t{1} << (bits > 32 ? 32 : bits)) - 1;
}

} // namespace

// Delivers the stored bytes from 'from' on (up to 'to'), joining areas across gaps of at most
// largestGap addresses, aligned and cut to largestCount. Negative only when the lock was not taken:
// a 0 there would read as "no byte in the range" and the caller would take the image for erased.
// An end alignment that would cut below the start delivers nothing.
int32_t ImageStore_ReadRange(ImageStore* pStore, uint32_t from, uint32_t to, uint32_t largestGap,
                             uint8_t* pDest, uint32_t* pOutStart, int32_t largestCount, int startAlignBits,
                             int endAlignBits) {
    StoreHold hold(pStore);
    if (!hold.Ok())
        return hold.Result();
    if (largestCount <= 0)
        return 0;
    Chunk chunk = FindChunk(pStore, from, to);
    if (chunk.Count == 0)
        return 0;
    uint64_t start = chunk.Start;
    int64_t total = static_cast<int64_t>(chunk.Count);
    if (largestGap != 0 && total < largestCount) {
        uint64_t p = chunk.Start + chunk.Count;
        while (total < largestCount) {
            const Chunk next = FindChunk(pStore, p, to);
            if (next.Count == 0 || next.Start - p > largestGap)
                break;
            total += static_cast<int64_t>(next.Start - p + next.Count);
            p = next.Start + next.Count;
        }
    }
    const uint64_t startMask = AlignMask(startAlignBits);
    const uint64_t low = start & startMask;
    start -= low;
    total += static_cast<int64_t>(low);
    const uint64_t endMask = AlignMask(endAlignBits);
    total += static_cast<int64_t>(endMask - ((start + total - 1) & endMask));
    if (total > largestCount) {
        total = largestCount;
        total -= static_cast<int64_t>((start + total) & endMask);
    }
    if (total <= 0)
        return 0;
    if (pDest)
        FillRange(pStore, pDest, start, static_cast<uint64_t>(total));
    if (pOutStart)
        *pOutStart = static_cast<uint32_t>(start);
    return static_cast<int32_t>(total);
}
