// The S-record reader's file form against its text form: a file must load exactly as the same text
// in memory does (result, message, areas and bytes), except that a file not starting with 'S' is
// refused as a whole. The padding (below) is checked by the file form only, as it stores nothing. The file
// form reads through a 60,000-character buffer refilled before each line (once fewer than 1,000 characters
// are left), so the input may be put behind a run of valid header records that ends near that point: byte 0
// says whether, byte 1 where (58,520 to 60,049 characters in), and the fuzzed lines then cross the refill
// point at any offset.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "image/image_store.h"
#include "image/srecord_reader.h"

namespace {

void Check(bool condition, int line = __builtin_LINE()) {
    if (condition)
        return;
    fprintf(stderr, "invariant violated at srecord_file_fuzz.cpp:%d\n", line);
    abort();
}

const char PADDING_LINE[] = "S0030000FC\n"; // a header record: read and checked, stores nothing
constexpr size_t PADDING_LINES_MIN = 5320;  // 58,520 characters
constexpr size_t PADDING_LINES_SPAN = 140;

std::string tempPath;
int tempHandle = -1;

void RemoveTempFile() {
    if (!tempPath.empty())
        unlink(tempPath.c_str());
}

void WriteTempFile(const std::string& text) {
    if (tempHandle < 0) {
        // A memory-backed folder where there is one: the file is rewritten for every input.
        char acPath[] = "/dev/shm/srecord_file_fuzz_XXXXXX";
        tempHandle = mkstemp(acPath);
        if (tempHandle < 0) {
            strcpy(acPath, "/tmp/srecord_file_fuzz_XXXXXX");
            tempHandle = mkstemp(acPath);
        }
        Check(tempHandle >= 0);
        tempPath = acPath;
        atexit(RemoveTempFile);
    }
    Check(ftruncate(tempHandle, 0) == 0);
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n =
            pwrite(tempHandle, text.data() + written, text.size() - written, static_cast<off_t>(written));
        Check(n > 0);
        written += static_cast<size_t>(n);
    }
}

// Same areas with the same bytes, in a sorted list of areas that neither overlap nor touch.
void CheckSameStore(ImageStore* pFile, ImageStore* pText) {
    const Area* pA = pFile->pFirstArea;
    const Area* pB = pText->pFirstArea;
    uint64_t previousEnd = 0;
    for (; pA && pB; pA = pA->pNext, pB = pB->pNext) {
        Check(pA->Start == pB->Start && pA->Length == pB->Length && pA->Length != 0);
        Check(pA == pFile->pFirstArea || pA->Start > previousEnd);
        Check(memcmp(pA->pBytes, pB->pBytes, pA->Length) == 0);
        previousEnd = uint64_t{pA->Start} + pA->Length;
    }
    Check(pA == nullptr && pB == nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size) {
    if (size < 2)
        return 0;
    // Without padding most runs stay fast; the file form is then the same reader over a short file.
    const size_t paddingLines = (pData[0] & 1) ? PADDING_LINES_MIN + pData[1] % PADDING_LINES_SPAN : 0;
    static std::string padding;
    if (padding.empty())
        for (size_t i = 0; i < PADDING_LINES_MIN + PADDING_LINES_SPAN; ++i)
            padding += PADDING_LINE;
    std::string text(padding, 0, paddingLines * (sizeof PADDING_LINE - 1));
    text.append(reinterpret_cast<const char*>(pData + 2), size - 2);
    WriteTempFile(text);

    ImageStore* pFileStore = ImageStore_Create();
    ImageStore* pTextStore = ImageStore_Create();
    Check(pFileStore && pTextStore);
    char acFileError[255] = "";
    char acTextError[255] = "";
    const int fileResult =
        SRecordReader_LoadFile(pFileStore, tempPath.c_str(), acFileError, sizeof acFileError);
    Check(memchr(acFileError, '\0', sizeof acFileError) != nullptr);
    if (text.empty() || text[0] != 'S') {
        Check(fileResult == -4);
        Check(strcmp(acFileError, "Error in line 1: Not a mot file") == 0);
        Check(pFileStore->pFirstArea == nullptr);
    } else {
        // The text form over the fuzzer's lines alone (up to the first NUL, where the file form stops
        // too): the padding stores nothing, so only the line numbers differ, by the padding's lines.
        std::string fuzzed = text.substr(paddingLines * (sizeof PADDING_LINE - 1));
        // A line end may be two characters (CR or LF and one more): the padding's last LF takes a
        // CR or LF the fuzzed lines begin with.
        if (paddingLines > 0 && !fuzzed.empty() && (fuzzed[0] == '\r' || fuzzed[0] == '\n'))
            fuzzed.erase(0, 1);
        const int textResult =
            SRecordReader_LoadText(pTextStore, fuzzed.c_str(), acTextError, sizeof acTextError);
        Check(fileResult == textResult);
        CheckSameStore(pFileStore, pTextStore);
        Check(ImageStore_TotalBytes(pFileStore) == ImageStore_TotalBytes(pTextStore));
        if (textResult == 0) {
            Check(acFileError[0] == '\0' && acTextError[0] == '\0');
        } else {
            int fileLine = 0;
            int textLine = 0;
            int fileText = 0;
            int textText = 0;
            Check(sscanf(acFileError, "Error in line %d: %n", &fileLine, &fileText) == 1 && fileText > 0);
            Check(sscanf(acTextError, "Error in line %d: %n", &textLine, &textText) == 1 && textText > 0);
            Check(static_cast<size_t>(fileLine) == paddingLines + static_cast<size_t>(textLine));
            Check(strcmp(acFileError + fileText, acTextError + textText) == 0);
        }
    }
    ImageStore_Destroy(pFileStore);
    ImageStore_Destroy(pTextStore);
    return 0;
}
