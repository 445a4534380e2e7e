// mkfirmware: writes the placeholder firmware image of the TQ330 as Motorola S-record text on stdout.
//
// The image has a fixed shape (five areas between 0xA0000 and 0xFDFEF, 10,199 S2 records in an order
// that exercises every branch of the store's add algorithm) and pseudo-random contents from a fixed
// seed, so the output is byte-identical on every platform. The program simulates loading its own output
// and writes nothing unless every figure holds.
#include "tools/mkfirmware/load_plan.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

const char* const HEADER_TEXT = "mkfirmware 1"; // 12 characters: the S0 record names its producer
const uint32_t ENTRY_ADDRESS = 0xA0000;
const size_t EXPECTED_CHARS = 788406;
const size_t EXPECTED_LINES = 10201;

// Firmware-looking contents, a function of the address only (not of the record order): mostly dense
// random bytes, with stretches of erased flash (0xFF) and zeroed tables here and there.
uint8_t ByteAt(uint32_t address) {
    uint64_t block = SplitMix(0x7133u ^ (address >> 8));
    uint32_t offset = address & 0xFF;
    uint32_t runStart = (block >> 8) & 0xFF;
    uint32_t runLength = 8 + ((block >> 16) & 0x7F);
    if ((block & 0x1F) == 0 && offset >= runStart && offset < runStart + runLength) {
        return (block & 0x20) ? 0xFF : 0x00;
    }
    return static_cast<uint8_t>(SplitMix(0x5EEDu + address) >> 24);
}

void AppendHex(std::string& line, uint8_t value, uint8_t& sum) {
    static const char acHex[] = "0123456789ABCDEF";
    line += acHex[value >> 4];
    line += acHex[value & 0x0F];
    sum = static_cast<uint8_t>(sum + value);
}

// One record: "S", type, count, address bytes (big-endian), data, checksum, CR LF.
void AppendRecord(std::string& text, char type, uint32_t address, int addressBytes, const uint8_t* pData,
                  size_t n) {
    uint8_t sum = 0;
    text += 'S';
    text += type;
    AppendHex(text, static_cast<uint8_t>(addressBytes + n + 1), sum);
    for (int i = addressBytes - 1; i >= 0; i--) {
        AppendHex(text, static_cast<uint8_t>(address >> (8 * i)), sum);
    }
    for (size_t i = 0; i < n; i++) {
        AppendHex(text, pData[i], sum);
    }
    uint8_t unused = 0;
    AppendHex(text, static_cast<uint8_t>(~sum), unused);
    text += "\r\n";
}

std::string WriteText(const std::vector<Record>& records) {
    std::string text;
    text.reserve(EXPECTED_CHARS);
    AppendRecord(text, '0', 0, 2, reinterpret_cast<const uint8_t*>(HEADER_TEXT), 12);
    std::vector<uint8_t> data;
    for (const Record& record : records) {
        data.clear();
        for (uint32_t i = 0; i < record.Length; i++) {
            data.push_back(ByteAt(record.Address + i));
        }
        AppendRecord(text, '2', record.Address, 3, data.data(), data.size());
    }
    AppendRecord(text, '8', ENTRY_ADDRESS, 3, nullptr, 0);
    return text;
}

bool Check(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "mkfirmware: %s\n", what);
    }
    return ok;
}

size_t CountLines(const std::string& text) {
    size_t lines = 0;
    for (size_t i = 0; i + 1 < text.size(); i++) {
        if (text[i] == '\r' && text[i + 1] == '\n') {
            lines++;
        }
    }
    return lines;
}

} // namespace

int main() {
    std::vector<Record> records = PlanRecords();
    LoadResult load = SimulateLoad(records);
    std::string text = WriteText(records);

    bool ok = Check(records.size() == EXPECTED_LINES - 2, "wrong number of data records");
    ok &= Check(!records.empty() && records[0].Address == FIRST_ADDRESS, "first record not at 0xEEC70");
    ok &= Check(load.Overlaps == 0 && load.Refused == 0, "records overlap");
    ok &= Check(load.Downwards == EXPECTED_DOWNWARDS, "wrong number of downward extensions");
    ok &= Check(load.Inserted == EXPECTED_INSERTED, "wrong number of areas inserted in front");
    ok &= Check(load.MovedBytes <= MAX_MOVED_BYTES, "the order moves too many bytes while loading");
    ok &= Check(load.Areas.size() == AREA_COUNT, "wrong number of areas");
    for (size_t i = 0; ok && i < AREA_COUNT; i++) {
        ok &= Check(load.Areas[i].Start == kAreas[i].Start && load.Areas[i].Length == kAreas[i].Length,
                    "areas differ from the image's five areas");
    }
    ok &= Check(text.size() == EXPECTED_CHARS, "wrong number of characters");
    ok &= Check(CountLines(text) == EXPECTED_LINES, "wrong number of lines");
    if (!ok) {
        fprintf(stderr,
                "mkfirmware: %zu records, %d downwards, %d inserted, %d appended, %d continued, %d joined, "
                "%d overlapping, %zu moved bytes, %zu areas; nothing written\n",
                records.size(), load.Downwards, load.Inserted, load.Appended, load.Continued, load.Joined,
                load.Overlaps + load.Refused, load.MovedBytes, load.Areas.size());
        return 1;
    }
    if (fwrite(text.data(), 1, text.size(), stdout) != text.size() || fflush(stdout) != 0) {
        fprintf(stderr, "mkfirmware: write failed\n");
        return 1;
    }
    return 0;
}
