// Motorola S-record reader: checks each record and adds the data records' bytes to an image store.
// The text is read in place with table-driven hex decoding and one fixed record buffer, so the
// embedded firmware (some 800 KB of text) loads in about a millisecond.
#include "image/srecord_reader.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "image/image_store.h"
#include "image/srecord_reader_internal.h"

namespace {

const char ERR_UNEXPECTED[] = "Unexpected character";
const char ERR_HEX[] = "Expected Hex character : 0..9, A..F";
const char ERR_CHECKSUM[] = "Checksum error !";
const char ERR_LINE_END[] = "Expected CR or LF";
const char ERR_OVERLAP[] = "Areas overlap";
// A data record needs its address, at least one data byte and the checksum.
const char ERR_TOO_SHORT[] = "Record too short: no data byte";
const char ERR_BEYOND[] = "Data beyond address 0xFFFFFFFF";
const char ERR_STORE_MEMORY[] = "malloc Problem";
const char ERR_STORE_LOCK[] = "Image store locked";

constexpr uint8_t NOT_HEX = 0xFF;

constexpr std::array<uint8_t, 256> MakeHexTable() {
    std::array<uint8_t, 256> table{};
    for (auto& value : table)
        value = NOT_HEX;
    for (int c = '0'; c <= '9'; c++)
        table[c] = static_cast<uint8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; c++) {
        table[c] = static_cast<uint8_t>(c - 'A' + 10);
        table[c + ('a' - 'A')] = static_cast<uint8_t>(c - 'A' + 10);
    }
    return table;
}
constexpr std::array<uint8_t, 256> HEX = MakeHexTable();

bool IsLineEnd(unsigned char c) {
    return c == '\r' || c == '\n';
}

// Stores a checked data record (types 1 to 3) unless it shares an address with the store's data.
void StoreData(MotFile* pMot, ImageStore* pStore, unsigned type, unsigned count, const uint8_t* acData) {
    const unsigned addressBytes = type + 1;
    if (count < addressBytes + 2) {
        MotFile_SetError(pMot, ERR_TOO_SHORT);
        return;
    }
    uint32_t address = 0;
    for (unsigned i = 0; i < addressBytes; i++)
        address = (address << 8) | acData[i];
    const uint32_t length = count - addressBytes - 1;
    const uint64_t end = uint64_t{address} + length;
    if (end > (uint64_t{1} << 32)) {
        MotFile_SetError(pMot, ERR_BEYOND);
        return;
    }
    // The store refuses any range that shares an address with its areas: that refusal is the overlap
    // test, so the areas are walked once per record, not twice.
    const int result = ImageStore_AddBytes(pStore, address, length, acData + addressBytes);
    if (result == -3)
        MotFile_SetLineError(pMot, ERR_STORE_MEMORY, -3);
    else if (result != 0)
        MotFile_SetError(pMot, ERR_OVERLAP);
}

// Reads one record from the position: "S", type, count and count hex bytes. On an error the position
// stays where it was found and nothing of the record is stored.
void ReadRecord(MotFile* pMot, ImageStore* pStore) {
    if (pMot->pError)
        return;
    pMot->Checksum = 0;
    const unsigned char* pRead = reinterpret_cast<const unsigned char*>(pMot->pRead);
    if (*pRead != 'S') {
        MotFile_SetError(pMot, ERR_UNEXPECTED);
        return;
    }
    pRead++;
    const unsigned typeCode = *pRead;
    if (typeCode < 0x20 || typeCode >= 0x80) {
        pMot->pRead = reinterpret_cast<const char*>(pRead);
        MotFile_SetError(pMot, ERR_UNEXPECTED);
        return;
    }
    pRead++;
    uint8_t acData[255];
    uint8_t checksum = 0;
    unsigned count = 0;
    // Index -1 is the count byte; the high digit is tested before the low one is looked at, so a NUL
    // (the end of the text) is never read past.
    for (int i = -1; i < static_cast<int>(count); i++) {
        const uint8_t high = HEX[pRead[0]];
        if (high == NOT_HEX) {
            pMot->pRead = reinterpret_cast<const char*>(pRead);
            MotFile_SetError(pMot, ERR_HEX);
            return;
        }
        const uint8_t low = HEX[pRead[1]];
        if (low == NOT_HEX) {
            pMot->pRead = reinterpret_cast<const char*>(pRead + 1);
            MotFile_SetError(pMot, ERR_HEX);
            return;
        }
        pRead += 2;
        const uint8_t value = static_cast<uint8_t>(high << 4 | low);
        checksum = static_cast<uint8_t>(checksum + value);
        if (i < 0)
            count = value;
        else
            acData[i] = value;
    }
    pMot->pRead = reinterpret_cast<const char*>(pRead);
    pMot->Checksum = checksum;
    if (count != 0 && checksum != 0xFF) {
        MotFile_SetError(pMot, ERR_CHECKSUM);
        return;
    }
    const unsigned type = typeCode - '0';
    if (type >= 1 && type <= 3)
        StoreData(pMot, pStore, type, count, acData);
}

// A CR or LF, with one directly following CR or LF, ends the line; NUL and 0x1A end the text.
void ReadLineEnd(MotFile* pMot) {
    if (pMot->pError)
        return;
    const char c = *pMot->pRead;
    if (c == '\0' || c == '\x1A')
        return;
    if (!IsLineEnd(c)) {
        MotFile_SetError(pMot, ERR_LINE_END);
        return;
    }
    pMot->LineCount++;
    pMot->pRead++;
    if (IsLineEnd(*pMot->pRead))
        pMot->pRead++;
}

} // namespace

void MotFile_Init(MotFile* pMot, const char* pText, char* acError, int32_t errorSize) {
    pMot->LineCount = 0;
    pMot->pRead = pText;
    pMot->pText = pText;
    pMot->Checksum = 0;
    pMot->acError = acError;
    pMot->ErrorSize = acError ? errorSize : 0;
    pMot->pError = nullptr;
    pMot->ErrorResult = -5;
}

namespace {

// Copies a text into the caller's buffer, cut to its size with a NUL at the end.
void CopyToCaller(MotFile* pMot, const char* pText) {
    if (pMot->ErrorSize <= 0)
        return;
    size_t length = strlen(pText);
    if (length > static_cast<size_t>(pMot->ErrorSize) - 1)
        length = static_cast<size_t>(pMot->ErrorSize) - 1;
    memmove(pMot->acError, pText, length);
    pMot->acError[length] = '\0';
}

} // namespace

void MotFile_SetError(MotFile* pMot, const char* pText) {
    pMot->pError = pText;
    CopyToCaller(pMot, pText);
}

void MotFile_SetLineError(MotFile* pMot, const char* pText, int result) {
    MotFile_SetError(pMot, pText);
    pMot->ErrorResult = result;
}

int MotFile_Finish(MotFile* pMot) {
    if (!pMot->pError)
        return 0;
    char acBuffer[300];
    snprintf(acBuffer, sizeof acBuffer, "Error in line %d: %s", static_cast<int>(pMot->LineCount + 1),
             pMot->pError);
    CopyToCaller(pMot, acBuffer);
    return pMot->ErrorResult;
}

bool MotFile_ReadLine(MotFile* pMot, ImageStore* pStore) {
    if (pMot->pError)
        return false;
    const char c = *pMot->pRead;
    if (c == '\0' || c == '\x1A')
        return false;
    ReadRecord(pMot, pStore);
    ReadLineEnd(pMot);
    return !pMot->pError;
}

int SRecordReader_LoadText(ImageStore* pStore, const char* pText, char* acError, int errorSize) {
    MotFile mot;
    MotFile_Init(&mot, pText ? pText : "", acError, errorSize);
    if (ImageStore_Lock(pStore) != 0) {
        MotFile_SetError(&mot, ERR_STORE_LOCK);
        return -1;
    }
    // The caller hands in an empty error text; one already there counts as an error found before.
    char acEarlier[256] = "";
    if (mot.ErrorSize > 0 && acError[0] != '\0') {
        snprintf(acEarlier, sizeof acEarlier, "%.*s", mot.ErrorSize - 1, acError);
        mot.pError = acEarlier;
    }
    while (MotFile_ReadLine(&mot, pStore)) {
    }
    const int result = MotFile_Finish(&mot);
    ImageStore_Unlock(pStore);
    return result;
}
