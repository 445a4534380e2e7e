// Helpers shared by the image tests: the store's areas as a list, its invariants, and S-record lines.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "image/image_store.h"

// Runs read on another thread while this one holds the store's lock, with the lock's wait cut to
// 50 ms, so that read meets a lock that times out; the wait is back at its default afterwards.
template <typename Read> void WhileStoreLockIsHeld(ImageStore* pStore, Read read) {
    ImageStore_SetLockWait(50);
    ImageStore_Lock(pStore);
    std::thread other(read);
    other.join();
    ImageStore_Unlock(pStore);
    ImageStore_SetLockWait(0);
}

using AreaList = std::vector<std::pair<uint32_t, uint32_t>>; // start, length

inline AreaList Areas(ImageStore* pStore) {
    AreaList list;
    for (uint32_t i = 0; i < ImageStore_AreaCount(pStore); i++) {
        uint32_t start = 0, length = 0;
        ImageStore_AreaInfo(pStore, i, &start, &length);
        list.emplace_back(start, length);
    }
    return list;
}

// Empty when the store keeps its invariants, else what is wrong.
inline std::string CheckInvariants(ImageStore* pStore) {
    uint64_t previousEnd = 0;
    bool first = true;
    uint32_t total = 0;
    for (const Area* p = pStore->pFirstArea; p; p = p->pNext) {
        if (p->Length == 0)
            return "area of length 0";
        if (uint64_t{p->Start} + p->Length > (uint64_t{1} << 32))
            return "area wraps past 0xFFFFFFFF";
        if (!first && p->Start <= previousEnd)
            return "areas overlap, touch or are out of order";
        if (p->pBytes ? p->Capacity < p->Length : p->Capacity != 0)
            return "capacity does not fit the buffer";
        previousEnd = uint64_t{p->Start} + p->Length;
        first = false;
        total += p->Length;
    }
    if (total != ImageStore_TotalBytes(pStore))
        return "total bytes differ from the sum of the lengths";
    return "";
}

// One S-record line (without its line end) with a correct checksum.
inline std::string Record(int type, uint32_t address, const std::vector<uint8_t>& data) {
    const int addressBytes = (type >= 1 && type <= 3) ? type + 1 : 2;
    std::vector<uint8_t> bytes;
    for (int i = addressBytes - 1; i >= 0; i--)
        bytes.push_back(static_cast<uint8_t>(address >> (8 * i)));
    bytes.insert(bytes.end(), data.begin(), data.end());
    const unsigned count = static_cast<unsigned>(bytes.size() + 1);
    unsigned sum = count;
    char acHex[4];
    std::string line = "S" + std::to_string(type);
    snprintf(acHex, sizeof acHex, "%02X", count);
    line += acHex;
    for (uint8_t b : bytes) {
        sum += b;
        snprintf(acHex, sizeof acHex, "%02X", b);
        line += acHex;
    }
    snprintf(acHex, sizeof acHex, "%02X", ~sum & 0xFF);
    line += acHex;
    return line;
}

inline std::vector<uint8_t> Bytes(uint32_t first, uint32_t count) {
    std::vector<uint8_t> data;
    for (uint32_t i = 0; i < count; i++)
        data.push_back(static_cast<uint8_t>(first + i * 7));
    return data;
}
