// Feeds arbitrary text to the S-record reader and checks what any load must leave behind: a result of
// 0 or -5, a line-numbered NUL-terminated message on failure, and a store whose areas are sorted,
// apart, never empty and add up to its total.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "image/image_store.h"
#include "image/srecord_reader.h"

namespace {

void Check(bool condition) {
    if (!condition)
        abort();
}

void CheckStore(ImageStore* pStore) {
    uint64_t sum = 0;
    uint64_t previousEnd = 0;
    bool first = true;
    for (const Area* p = pStore->pFirstArea; p; p = p->pNext) {
        const uint64_t end = uint64_t{p->Start} + p->Length;
        Check(p->Length != 0);
        Check(end <= (uint64_t{1} << 32));
        Check(first || p->Start > previousEnd); // sorted, not overlapping, not touching
        Check(p->pBytes != nullptr && p->Capacity >= p->Length);
        previousEnd = end;
        first = false;
        sum += p->Length;
    }
    Check(sum == ImageStore_TotalBytes(pStore));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size) {
    // An exactly sized copy, so that any read past the NUL is caught.
    char* pText = static_cast<char*>(malloc(size + 1));
    memcpy(pText, pData, size);
    pText[size] = '\0';
    ImageStore* pStore = ImageStore_Create();
    Check(pStore != nullptr);
    char acError[255];
    memset(acError, 'x', sizeof acError);
    acError[0] = '\0';
    const int result = SRecordReader_LoadText(pStore, pText, acError, sizeof acError);
    Check(result == 0 || result == -5);
    const void* pNul = memchr(acError, '\0', sizeof acError);
    Check(pNul != nullptr);
    if (result == -5)
        Check(strncmp(acError, "Error in line ", 14) == 0);
    else
        Check(acError[0] == '\0');
    CheckStore(pStore);
    ImageStore_Destroy(pStore);
    free(pText);
    return 0;
}
