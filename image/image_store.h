// A firmware image by 32-bit target address: a sorted list of areas that neither overlap nor touch,
// with a list of pending single-byte writes on top. Every operation takes the store's own recursive
// lock, so the worker (programming) and the main thread (CRC) can read one store at the same time.
// Results: 0 or a negative code (-1 refused or not found, -2 no lock, -3 out of memory).
#pragma once
#include <cstdint>
#include <mutex>

struct Area {
    Area* pNext;     // the area with the next higher addresses, or none
    uint8_t* pBytes; // owned buffer, or none for an area added without data
    uint32_t Start;
    uint32_t Length;   // covers Start .. Start + Length - 1
    uint32_t Capacity; // bytes allocated; 0 without a buffer
};

struct PendingWrite {
    uint32_t Address;
    uint8_t Value;
};

struct ImageStore {
    Area* pFirstArea;
    uint32_t ModifiedCount;
    uint32_t PendingCount;
    uint32_t PendingCapacity;
    PendingWrite* pPending;
    std::recursive_timed_mutex* pLock;
};

ImageStore* ImageStore_Create();
void ImageStore_Destroy(ImageStore* pStore);
int ImageStore_Lock(ImageStore* pStore); // 0 taken, -1 timed out after 10,000 ms, -2 no lock
void ImageStore_Unlock(ImageStore* pStore);
// Tests only (no program calls it): how long a lock waits, in ms, for every store; 0 restores the
// 10,000 ms, so a test of a time-out does not sit through the full wait.
void ImageStore_SetLockWait(uint32_t ms);

// 0 added (joined with the areas it touches); -1 refused: length 0, a range past 0xFFFFFFFF or one that
// shares any address with an area; -3 out of memory. A refusal changes only the modified count.
// Without bytes the area reads as erased (0xFF).
int ImageStore_AddBytes(ImageStore* pStore, uint32_t address, uint32_t length, const uint8_t* pBytes);
// -1 no byte; 0..255 the stored byte; 256 + value where a pending write covers the address.
int ImageStore_GetByte(ImageStore* pStore, uint32_t address);
uint32_t ImageStore_FirstAddress(ImageStore* pStore);
uint32_t ImageStore_LastAddress(ImageStore* pStore);
uint32_t ImageStore_TotalBytes(ImageStore* pStore);
// The number of bytes delivered; 0 when no stored byte lies in the range; -1 (lock timed out) or -2
// (no lock) when the store could not be read at all.
int32_t ImageStore_ReadRange(ImageStore* pStore, uint32_t from, uint32_t to, uint32_t largestGap,
                             uint8_t* pDest, uint32_t* pOutStart, int32_t largestCount, int startAlignBits,
                             int endAlignBits);

// Editing and inspection (image_store_edit.cpp).
void ImageStore_RemoveRange(ImageStore* pStore, uint32_t from, uint32_t to);
int ImageStore_Shift(ImageStore* pStore, int32_t distance); // -1: an area would leave the address space
uint32_t ImageStore_QueueWrite(ImageStore* pStore, uint32_t address, uint8_t value);
int ImageStore_CommitWrites(ImageStore* pStore);
int ImageStore_ReadByte(ImageStore* pStore, uint32_t address, uint8_t* pValue);
int ImageStore_ReadWord(ImageStore* pStore, uint32_t address, uint16_t* pValue);
int ImageStore_ReadDword(ImageStore* pStore, uint32_t address, uint32_t* pValue);
uint32_t ImageStore_WriteByte(ImageStore* pStore, uint32_t address, uint8_t value);
uint32_t ImageStore_WriteWord(ImageStore* pStore, uint32_t address, uint16_t value);
uint32_t ImageStore_WriteDword(ImageStore* pStore, uint32_t address, uint32_t value);
void ImageStore_DropLastWrite(ImageStore* pStore);
void ImageStore_ForgetWrites(ImageStore* pStore, uint32_t address);
void ImageStore_GetStatus(ImageStore* pStore, uint8_t acStatus[2]);
uint32_t ImageStore_AreaCount(ImageStore* pStore);
void ImageStore_AreaInfo(ImageStore* pStore, uint32_t index, uint32_t* pStart, uint32_t* pLength);

// The constant table of operation slots: 24 slots, 12 filled.
struct ImageAccess {
    uint32_t (*pfnFirstAddress)(ImageStore*);                   // 0
    uint32_t (*pfnLastAddress)(ImageStore*);                    // 1
    int (*pfnReadByte)(ImageStore*, uint32_t, uint8_t*);        // 2
    int (*pfnReadWord)(ImageStore*, uint32_t, uint16_t*);       // 3
    int (*pfnReadDword)(ImageStore*, uint32_t, uint32_t*);      // 4
    uint32_t (*pfnWriteByte)(ImageStore*, uint32_t, uint8_t);   // 5
    uint32_t (*pfnWriteWord)(ImageStore*, uint32_t, uint16_t);  // 6
    uint32_t (*pfnWriteDword)(ImageStore*, uint32_t, uint32_t); // 7
    void (*pfnDropLastWrite)(ImageStore*);                      // 8
    void (*pfnForgetWrites)(ImageStore*, uint32_t);             // 9
    void* apEmpty10[3];                                         // 10 .. 12
    void (*pfnDestroy)(ImageStore*);                            // 13
    void* pEmpty14;                                             // 14
    void (*pfnGetStatus)(ImageStore*, uint8_t*);                // 15
    void* apEmpty16[8];                                         // 16 .. 23
};
static_assert(sizeof(ImageAccess) == 24 * sizeof(void*), "ImageAccess has 24 slots");
const ImageAccess* ImageStore_GetAccessTable();
