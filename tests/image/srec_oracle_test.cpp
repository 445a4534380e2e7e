// The reader against an independent implementation: srec_cat (Debian package srecord) writes random
// multi-area images as S-records with 16-, 24- and 32-bit addresses; the data records are shuffled;
// then the reader must load exactly the bytes that srec_cat reads back from the same file, at the
// addresses that srec_info lists as holding data.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <stdlib.h>

#include "image/srecord_reader.h"
#include "store_check.h"

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

int Shell(const std::string& command) {
    return system(command.c_str());
}

struct Config {
    int AddressLength; // bytes: 2, 3 or 4
    int BlockSize;     // data bytes per record
    uint32_t Seed;
};

void PrintTo(const Config& config, std::ostream* pOut) {
    *pOut << config.AddressLength << "-byte addresses, " << config.BlockSize << " bytes a record, seed "
          << config.Seed;
}

class SrecOracleTest : public ::testing::TestWithParam<Config> {
  protected:
    void SetUp() override {
        if (Shell("command -v srec_cat >/dev/null 2>&1 && command -v srec_info >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "srec_cat/srec_info not found, so there is no oracle to compare with: install "
                            "the Debian package srecord (scripts/setup.sh)";
        std::string pattern = ::testing::TempDir() + "srec_oracle_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        if (!dir.empty())
            Shell("rm -rf '" + dir + "'");
    }
    std::string dir;
};

// Areas with random starts and lengths, at least one address apart, below the given span.
AreaList RandomAreas(std::mt19937& random, uint32_t span) {
    AreaList areas;
    const int count = 2 + static_cast<int>(random() % 7);
    uint32_t next = random() % 64;
    for (int i = 0; i < count; i++) {
        const uint32_t length = 1 + random() % 3000;
        if (next + length >= span)
            break;
        areas.emplace_back(next, length);
        next += length + 1 + random() % (span / 16);
    }
    return areas;
}

// srec_info's "Data:" ranges ("1000 - 1063"), as start and length.
AreaList InfoRanges(const std::string& info) {
    AreaList ranges;
    std::istringstream in(info.substr(info.find("Data:") + 5));
    std::string line;
    while (std::getline(in, line)) {
        unsigned long first = 0, last = 0;
        if (sscanf(line.c_str(), " %lx - %lx", &first, &last) != 2)
            break;
        ranges.emplace_back(static_cast<uint32_t>(first), static_cast<uint32_t>(last - first + 1));
    }
    return ranges;
}

TEST_P(SrecOracleTest, ReaderLoadsWhatSrecCatReads) {
    const Config config = GetParam();
    std::mt19937 random(config.Seed);
    // 32-bit files lie high in the address space; the binary image is taken relative to the base.
    const uint32_t base = config.AddressLength == 4 ? 0x80000000u : 0;
    const uint32_t span = config.AddressLength == 2 ? 0x10000u : 0x100000u;
    const AreaList areas = RandomAreas(random, span);
    ASSERT_GE(areas.size(), 1u);

    std::string command = "srec_cat";
    for (size_t i = 0; i < areas.size(); i++) {
        std::string data(areas[i].second, '\0');
        for (auto& c : data)
            c = static_cast<char>(random());
        const std::string path = dir + "/area" + std::to_string(i) + ".bin";
        std::ofstream(path, std::ios::binary) << data;
        command += " '" + path + "' -binary -offset " + std::to_string(uint64_t{base} + areas[i].first);
    }
    const std::string made = dir + "/made.srec";
    command += " -o '" + made + "' -motorola -address-length=" + std::to_string(config.AddressLength) +
               " -obs=" + std::to_string(config.BlockSize) + " 2>/dev/null";
    ASSERT_EQ(Shell(command), 0) << command;

    // Data records out of address order, header first and the closing records last.
    std::istringstream in(ReadAll(made));
    std::vector<std::string> head, data, tail;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() < 2)
            continue;
        (line[1] == '0' ? head : line[1] >= '1' && line[1] <= '3' ? data : tail).push_back(line);
    }
    ASSERT_GT(data.size(), 1u);
    std::shuffle(data.begin(), data.end(), random);
    const char* pLineEnd = config.Seed % 2 ? "\r\n" : "\n";
    std::string text;
    for (const auto* pGroup : {&head, &data, &tail})
        for (const auto& line : *pGroup)
            text += line + pLineEnd;
    const std::string shuffled = dir + "/shuffled.srec";
    std::ofstream(shuffled, std::ios::binary) << text;

    // The oracle: which addresses hold data (srec_info) and their bytes (srec_cat to binary).
    const std::string info = dir + "/info.txt", image = dir + "/image.bin";
    ASSERT_EQ(Shell("srec_info '" + shuffled + "' >'" + info + "' 2>/dev/null"), 0);
    const std::string offset = base ? " -offset -" + std::to_string(base) : "";
    ASSERT_EQ(Shell("srec_cat '" + shuffled + "'" + offset + " -o '" + image + "' -binary 2>/dev/null"), 0);
    const AreaList expected = InfoRanges(ReadAll(info));
    const std::string bytes = ReadAll(image);
    ASSERT_FALSE(expected.empty());

    for (bool fromFile : {true, false}) {
        ImageStore* pStore = ImageStore_Create();
        char acError[255] = "";
        const int result = fromFile
                               ? SRecordReader_LoadFile(pStore, shuffled.c_str(), acError, sizeof acError)
                               : SRecordReader_LoadText(pStore, text.c_str(), acError, sizeof acError);
        ASSERT_EQ(result, 0) << acError;
        EXPECT_EQ(CheckInvariants(pStore), "");
        EXPECT_EQ(Areas(pStore), expected) << (fromFile ? "file" : "text");
        for (const auto& [start, length] : expected) {
            for (uint32_t a = start; a < start + length; a++) {
                const size_t offset = a - base;
                ASSERT_LT(offset, bytes.size());
                ASSERT_EQ(ImageStore_GetByte(pStore, a), static_cast<uint8_t>(bytes[offset]))
                    << std::hex << "address 0x" << a << (fromFile ? " (file)" : " (text)");
            }
        }
        ImageStore_Destroy(pStore);
    }
}

std::vector<Config> Configs() {
    std::vector<Config> configs;
    uint32_t seed = 1;
    for (int addressLength : {2, 3, 4})
        for (int blockSize : {1, 16, 32, 100, 250})
            configs.push_back({addressLength, blockSize, seed++});
    return configs;
}

INSTANTIATE_TEST_SUITE_P(AddressAndLineLengths, SrecOracleTest, ::testing::ValuesIn(Configs()),
                         [](const ::testing::TestParamInfo<Config>& info) {
                             return "S" + std::to_string(info.param.AddressLength - 1) + "_block" +
                                    std::to_string(info.param.BlockSize);
                         });

} // namespace
