// Editing and inspection of an image store: range removal, shift, the pending-write list with byte,
// word and double-word access, status, area queries and the table of operation slots.
#include <cstdlib>
#include <cstring>
#include <new>

#include "image/image_store.h"

namespace {

constexpr uint32_t FIRST_CAPACITY = 256;
constexpr uint32_t PENDING_STEP = 100;

// Holds the store's lock for one operation (the same rule as in image_store.cpp).
class StoreHold {
  public:
    explicit StoreHold(ImageStore* pStore) : pStore_(pStore), ok_(ImageStore_Lock(pStore) == 0) {}
    ~StoreHold() {
        if (ok_)
            ImageStore_Unlock(pStore_);
    }
    StoreHold(const StoreHold&) = delete;
    StoreHold& operator=(const StoreHold&) = delete;
    bool Ok() const { return ok_; }

  private:
    ImageStore* pStore_;
    bool ok_;
};

// Splits off last .. p's end as a new area behind p; p keeps its start up to first - 1.
// On a failed allocation nothing changes: keeping bytes beats a half-done removal.
void SplitOut(Area* p, uint32_t first, uint32_t last) {
    const uint32_t tailStart = last + 1;
    const uint32_t tailLength = p->Start + p->Length - tailStart;
    Area* pTail = new (std::nothrow) Area{p->pNext, nullptr, tailStart, tailLength, 0};
    if (!pTail)
        return;
    if (p->pBytes) {
        pTail->Capacity = tailLength > FIRST_CAPACITY ? tailLength : FIRST_CAPACITY;
        pTail->pBytes = static_cast<uint8_t*>(malloc(pTail->Capacity));
        if (!pTail->pBytes) {
            delete pTail;
            return;
        }
        memcpy(pTail->pBytes, p->pBytes + (tailStart - p->Start), tailLength);
    }
    p->Length = first - p->Start;
    p->pNext = pTail;
}

// Finds the area holding the address, or none.
Area* AreaAt(ImageStore* pStore, uint32_t address) {
    for (Area* p = pStore->pFirstArea; p && p->Start <= address; p = p->pNext) {
        if (address - p->Start < p->Length)
            return p;
    }
    return nullptr;
}

} // namespace

// Removes the stored addresses from .. to (inclusive). A range with from > to removes nothing.
void ImageStore_RemoveRange(ImageStore* pStore, uint32_t from, uint32_t to) {
    StoreHold hold(pStore);
    if (!hold.Ok())
        return;
    pStore->ModifiedCount++;
    if (from > to)
        return;
    Area** ppLink = &pStore->pFirstArea;
    while (Area* p = *ppLink) {
        const uint32_t s = p->Start;
        const uint32_t l = p->Start + p->Length - 1;
        if (from <= s && l <= to) {
            *ppLink = p->pNext;
            free(p->pBytes);
            delete p;
            continue;
        }
        if (from <= s && s <= to && to < l) {
            const uint32_t dropped = to - s + 1;
            if (p->pBytes)
                memmove(p->pBytes, p->pBytes + dropped, p->Length - dropped);
            p->Start = to + 1;
            p->Length -= dropped;
        } else if (s < from && to < l) {
            SplitOut(p, from, to);
            return; // the range lay inside this one area
        } else if (s < from && from <= l && l <= to) {
            p->Length = from - s;
        }
        ppLink = &p->pNext;
    }
}

// Moves every area and every pending write by the distance. 0 moved; -1 refused when an area would
// leave the address space (its bytes would wrap around and break the address order): nothing moves.
int ImageStore_Shift(ImageStore* pStore, int32_t distance) {
    StoreHold hold(pStore);
    if (!hold.Ok())
        return -1;
    pStore->ModifiedCount++;
    for (const Area* p = pStore->pFirstArea; p; p = p->pNext) {
        const int64_t start = int64_t{p->Start} + distance;
        if (start < 0 || start + p->Length > (int64_t{1} << 32))
            return -1;
    }
    for (Area* p = pStore->pFirstArea; p; p = p->pNext)
        p->Start += static_cast<uint32_t>(distance);
    for (uint32_t i = 0; i < pStore->PendingCount; i++)
        pStore->pPending[i].Address += static_cast<uint32_t>(distance);
    return 0;
}

uint32_t ImageStore_QueueWrite(ImageStore* pStore, uint32_t address, uint8_t value) {
    StoreHold hold(pStore);
    if (!hold.Ok())
        return 0;
    const uint32_t index = pStore->PendingCount;
    pStore->ModifiedCount++;
    if (pStore->PendingCount == pStore->PendingCapacity) {
        const uint32_t capacity = pStore->PendingCapacity + PENDING_STEP;
        void* pNew = capacity > pStore->PendingCapacity
                         ? realloc(pStore->pPending, size_t{capacity} * sizeof(PendingWrite))
                         : nullptr;
        if (!pNew)
            return index; // the write is dropped; the list stays as it was
        pStore->pPending = static_cast<PendingWrite*>(pNew);
        pStore->PendingCapacity = capacity;
    }
    pStore->pPending[pStore->PendingCount++] = PendingWrite{address, value};
    return index;
}

// 0 all pending writes applied; 1 at least one lay outside every area (the others are applied).
int ImageStore_CommitWrites(ImageStore* pStore) {
    StoreHold hold(pStore);
    if (!hold.Ok())
        return 1;
    int result = 0;
    for (uint32_t i = 0; i < pStore->PendingCount; i++) {
        const PendingWrite& write = pStore->pPending[i];
        Area* p = AreaAt(pStore, write.Address);
        if (p && !p->pBytes) {
            // An area added without bytes reads as erased; it gets a buffer to hold the value.
            const uint32_t capacity = p->Length > FIRST_CAPACITY ? p->Length : FIRST_CAPACITY;
            p->pBytes = static_cast<uint8_t*>(malloc(capacity));
            if (p->pBytes) {
                memset(p->pBytes, 0xFF, p->Length);
                p->Capacity = capacity;
            }
        }
        if (p && p->pBytes)
            p->pBytes[write.Address - p->Start] = write.Value;
        else
            result = 1;
    }
    free(pStore->pPending);
    pStore->pPending = nullptr;
    pStore->PendingCount = 0;
    pStore->PendingCapacity = 0;
    pStore->ModifiedCount = 0;
    return result;
}

int ImageStore_ReadByte(ImageStore* pStore, uint32_t address, uint8_t* pValue) {
    const int byte = ImageStore_GetByte(pStore, address);
    if (byte < 0)
        return -1;
    *pValue = static_cast<uint8_t>(byte);
    return byte >> 8;
}

namespace {

// Little-endian value of n bytes from the address on; -1 when any is missing, else 1 when any comes
// from a pending write. One hold of the lock, so the bytes belong together.
int ReadValue(ImageStore* pStore, uint32_t address, int n, uint32_t* pValue) {
    StoreHold hold(pStore);
    if (!hold.Ok())
        return -1;
    uint32_t value = 0;
    int pending = 0;
    for (int i = 0; i < n; i++) {
        const int byte = ImageStore_GetByte(pStore, address + i);
        if (byte < 0)
            return -1;
        value |= uint32_t(byte & 0xFF) << (8 * i);
        pending |= byte >> 8;
    }
    *pValue = value;
    return pending;
}

} // namespace

int ImageStore_ReadWord(ImageStore* pStore, uint32_t address, uint16_t* pValue) {
    uint32_t value = 0;
    const int result = ReadValue(pStore, address, 2, &value);
    if (result >= 0)
        *pValue = static_cast<uint16_t>(value);
    return result;
}

int ImageStore_ReadDword(ImageStore* pStore, uint32_t address, uint32_t* pValue) {
    return ReadValue(pStore, address, 4, pValue);
}

uint32_t ImageStore_WriteByte(ImageStore* pStore, uint32_t address, uint8_t value) {
    return ImageStore_QueueWrite(pStore, address, value);
}

// Each byte is queued under its own hold of the lock; the result is the first byte's index.
uint32_t ImageStore_WriteWord(ImageStore* pStore, uint32_t address, uint16_t value) {
    const uint32_t index = ImageStore_QueueWrite(pStore, address, static_cast<uint8_t>(value));
    ImageStore_QueueWrite(pStore, address + 1, static_cast<uint8_t>(value >> 8));
    return index;
}

uint32_t ImageStore_WriteDword(ImageStore* pStore, uint32_t address, uint32_t value) {
    const uint32_t index = ImageStore_QueueWrite(pStore, address, static_cast<uint8_t>(value));
    for (uint32_t i = 1; i < 4; i++)
        ImageStore_QueueWrite(pStore, address + i, static_cast<uint8_t>(value >> (8 * i)));
    return index;
}

void ImageStore_DropLastWrite(ImageStore* pStore) {
    StoreHold hold(pStore);
    if (hold.Ok() && pStore->PendingCount > 0)
        pStore->PendingCount--;
}

void ImageStore_ForgetWrites(ImageStore* pStore, uint32_t address) {
    StoreHold hold(pStore);
    if (!hold.Ok())
        return;
    uint32_t kept = 0;
    for (uint32_t i = 0; i < pStore->PendingCount; i++) {
        if (pStore->pPending[i].Address != address)
            pStore->pPending[kept++] = pStore->pPending[i];
    }
    pStore->PendingCount = kept;
}

void ImageStore_GetStatus(ImageStore* pStore, uint8_t acStatus[2]) {
    StoreHold hold(pStore);
    acStatus[0] = 0;
    acStatus[1] = hold.Ok() && pStore->ModifiedCount != 0 ? 1 : 0;
}

// The two area queries take no lock: they are for a caller that already holds it or owns the store.
uint32_t ImageStore_AreaCount(ImageStore* pStore) {
    uint32_t count = 0;
    for (const Area* p = pStore->pFirstArea; p; p = p->pNext)
        count++;
    return count;
}

void ImageStore_AreaInfo(ImageStore* pStore, uint32_t index, uint32_t* pStart, uint32_t* pLength) {
    const Area* p = pStore->pFirstArea;
    for (; p && index > 0; index--)
        p = p->pNext;
    if (!p)
        return;
    if (pStart)
        *pStart = p->Start;
    if (pLength)
        *pLength = p->Length;
}

const ImageAccess* ImageStore_GetAccessTable() {
    static const ImageAccess table = {ImageStore_FirstAddress,
                                      ImageStore_LastAddress,
                                      ImageStore_ReadByte,
                                      ImageStore_ReadWord,
                                      ImageStore_ReadDword,
                                      ImageStore_WriteByte,
                                      ImageStore_WriteWord,
                                      ImageStore_WriteDword,
                                      ImageStore_DropLastWrite,
                                      ImageStore_ForgetWrites,
                                      {nullptr, nullptr, nullptr},
                                      ImageStore_Destroy,
                                      nullptr,
                                      ImageStore_GetStatus,
                                      {}};
    return &table;
}
