#include "sim_options.h"
#include "sim_protocol.h"

#include "link/protocol.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

namespace {

// Decimal, or hexadecimal with 0x; the whole text must be a number that fits 32 bits.
bool ParseNumber(const char* pText, uint32_t* pValue) {
    int base = 10;
    if (pText[0] == '0' && (pText[1] == 'x' || pText[1] == 'X')) {
        base = 16;
        pText += 2;
    }
    if (*pText == '\0' || *pText == '-' || *pText == '+' || *pText == ' ')
        return false;
    errno = 0;
    char* pEnd = nullptr;
    unsigned long long value = strtoull(pText, &pEnd, base);
    if (errno != 0 || *pEnd != '\0' || value > 0xFFFFFFFFull)
        return false;
    *pValue = static_cast<uint32_t>(value);
    return true;
}

bool ParseCorruptKind(const char* pText, CorruptKind* pKind) {
    const struct {
        const char* pName;
        CorruptKind Kind;
    } aKinds[] = {{"checksum", CORRUPT_CHECKSUM},
                  {"end", CORRUPT_END},
                  {"start", CORRUPT_START},
                  {"length", CORRUPT_LENGTH}};
    for (const auto& entry : aKinds) {
        if (strcmp(pText, entry.pName) == 0) {
            *pKind = entry.Kind;
            return true;
        }
    }
    return false;
}

// --corrupt-kind's text, the one option whose value is no number.
bool TakeCorruptKind(SimOptions* pOptions, uint32_t, const char* pText, char* acError, size_t errorSize) {
    if (ParseCorruptKind(pText, &pOptions->Corrupt))
        return true;
    snprintf(acError, errorSize, "--corrupt-kind: '%s' is not checksum, end, start or length", pText);
    return false;
}

bool TakeRejectAt(SimOptions* pOptions, uint32_t value, const char*, char* acError, size_t errorSize) {
    if (pOptions->RejectCount == SIM_MAX_REJECTS) {
        snprintf(acError, errorSize, "--reject-at: at most %zu addresses", SIM_MAX_REJECTS);
        return false;
    }
    pOptions->RejectAt[pOptions->RejectCount++] = value;
    return true;
}

bool TakeDropAcksCmd(SimOptions* pOptions, uint32_t value, const char*, char* acError, size_t errorSize) {
    if (!Command_IsAcknowledged(value)) {
        snprintf(acError, errorSize, "--drop-acks-cmd: %u is not one of 1, 2, 3, 4, 5, 7", value);
        return false;
    }
    pOptions->DropAcksCmd = static_cast<int32_t>(value);
    return true;
}

// --corrupt-cmd and --garbage-cmd: the identify answers (0) count as well.
bool ReplyCommand(const char* pName, uint32_t value, int32_t* pCommand, char* acError, size_t errorSize) {
    if (value != 0 && !Command_IsAcknowledged(value)) {
        snprintf(acError, errorSize, "%s: %u is not one of 0, 1, 2, 3, 4, 5, 7", pName, value);
        return false;
    }
    *pCommand = static_cast<int32_t>(value);
    return true;
}

bool TakeCorruptCmd(SimOptions* pOptions, uint32_t value, const char*, char* acError, size_t errorSize) {
    return ReplyCommand("--corrupt-cmd", value, &pOptions->CorruptCmd, acError, errorSize);
}

bool TakeGarbageCmd(SimOptions* pOptions, uint32_t value, const char*, char* acError, size_t errorSize) {
    return ReplyCommand("--garbage-cmd", value, &pOptions->GarbageCmd, acError, errorSize);
}

bool TakeReportCrc(SimOptions* pOptions, uint32_t value, const char*, char* acError, size_t errorSize) {
    if (value > 0xFFFF) {
        snprintf(acError, errorSize, "--report-crc: 0x%X does not fit 16 bits", value);
        return false;
    }
    pOptions->ReportCrc = value;
    return true;
}

bool Byte(const char* pName, uint32_t value, uint8_t* pByte, char* acError, size_t errorSize) {
    if (value > 0xFF) {
        snprintf(acError, errorSize, "%s: 0x%X is not a byte", pName, value);
        return false;
    }
    *pByte = static_cast<uint8_t>(value);
    return true;
}

bool TakeFill(SimOptions* pOptions, uint32_t value, const char*, char* acError, size_t errorSize) {
    return Byte("--fill", value, &pOptions->Fill, acError, errorSize);
}

bool TakeIdByte(SimOptions* pOptions, uint32_t value, const char*, char* acError, size_t errorSize) {
    return Byte("--id-byte", value, &pOptions->IdByte, acError, errorSize);
}

// The identify answer has room for both texts in its 255 bytes only while each stays this short.
constexpr size_t ID_TEXT_MAX = 100;

bool TakeIdText1(SimOptions* pOptions, uint32_t, const char* pText, char* acError, size_t errorSize) {
    if (strlen(pText) > ID_TEXT_MAX) {
        snprintf(acError, errorSize, "--id-text1: at most %zu bytes", ID_TEXT_MAX);
        return false;
    }
    pOptions->pIdText1 = pText;
    return true;
}

// One row per option, each with one of: the flag a switch sets, the field a number or a text goes
// to, or the function that checks and keeps the value (the number, or the text where TextValue).
// Numbers are checked before any such function sees them; --help has none of these.
struct SimOption {
    const char* pName;
    bool SimOptions::*pSwitch = nullptr;
    uint32_t SimOptions::*pNumber = nullptr;
    int64_t SimOptions::*pWideNumber = nullptr; // fields whose -1 means "not asked for"
    const char* SimOptions::*pText = nullptr;
    bool (*pfnTake)(SimOptions* pOptions, uint32_t value, const char* pText, char* acError,
                    size_t errorSize) = nullptr;
    bool TextValue = false;
};

const SimOption aOptions[] = {
    {.pName = "baud", .pNumber = &SimOptions::Baud},
    {.pName = "clear-ms", .pNumber = &SimOptions::ClearMs},
    {.pName = "app-ms", .pWideNumber = &SimOptions::AppMs},
    {.pName = "crc-start", .pNumber = &SimOptions::CrcStart},
    {.pName = "crc-length", .pNumber = &SimOptions::CrcLength},
    {.pName = "reject-at", .pfnTake = TakeRejectAt},
    {.pName = "drop-acks", .pNumber = &SimOptions::DropAcks},
    {.pName = "drop-acks-cmd", .pfnTake = TakeDropAcksCmd},
    {.pName = "corrupt-every", .pNumber = &SimOptions::CorruptEvery},
    {.pName = "silent", .pSwitch = &SimOptions::Silent},
    {.pName = "unplug-after-blocks", .pWideNumber = &SimOptions::UnplugAfterBlocks},
    {.pName = "replug-ms", .pWideNumber = &SimOptions::ReplugMs},
    {.pName = "wrong-crc", .pSwitch = &SimOptions::WrongCrc},
    {.pName = "corrupt-kind", .pfnTake = TakeCorruptKind, .TextValue = true},
    {.pName = "corrupt-cmd", .pfnTake = TakeCorruptCmd},
    {.pName = "garbage-before", .pNumber = &SimOptions::GarbageBefore},
    {.pName = "garbage-cmd", .pfnTake = TakeGarbageCmd},
    {.pName = "garbage-count", .pNumber = &SimOptions::GarbageCount},
    {.pName = "lose-answer-at-block", .pNumber = &SimOptions::LoseAnswerAtBlock},
    {.pName = "report-crc", .pfnTake = TakeReportCrc},
    {.pName = "fill", .pfnTake = TakeFill},
    {.pName = "log", .pText = &SimOptions::pLogPath},
    {.pName = "dump", .pText = &SimOptions::pDumpPath},
    {.pName = "latency-ms", .pNumber = &SimOptions::LatencyMs},
    {.pName = "check-line", .pSwitch = &SimOptions::CheckLine},
    {.pName = "id-byte", .pfnTake = TakeIdByte},
    {.pName = "id-word", .pNumber = &SimOptions::IdWord},
    {.pName = "id-text1", .pfnTake = TakeIdText1, .TextValue = true},
    {.pName = "unplug-after-polls", .pWideNumber = &SimOptions::UnplugAfterPolls},
    {.pName = "unplug-adapter", .pSwitch = &SimOptions::UnplugAdapter},
    {.pName = "link", .pText = &SimOptions::pLinkPath},
    {.pName = "help"},
};
constexpr size_t OPTION_COUNT = sizeof aOptions / sizeof aOptions[0];
constexpr int FIRST_ID = 256; // getopt_long's answer for row i; above every short option's

bool TakesValue(const SimOption& row) {
    return row.pNumber != nullptr || row.pWideNumber != nullptr || row.pText != nullptr ||
           row.pfnTake != nullptr;
}

// The table in getopt_long's form, in the same order: its matching of unambiguous prefixes and of
// "--name=value" stays the C library's.
const option* LongOptions() {
    static option aLong[OPTION_COUNT + 1] = {};
    for (size_t i = 0; i < OPTION_COUNT; ++i)
        aLong[i] = {aOptions[i].pName, TakesValue(aOptions[i]) ? required_argument : no_argument, nullptr,
                    FIRST_ID + static_cast<int>(i)};
    return aLong;
}

} // namespace

OptionsResult SimOptions_Parse(int argc, char** argv, SimOptions* pOptions, char* acError, size_t errorSize) {
    *pOptions = SimOptions{};
    pOptions->Baud = LINE_BAUD;
    pOptions->ClearMs = 2000;
    pOptions->AppMs = -1; // a device runs its new firmware until it is power cycled
    pOptions->CrcStart = 0xA0000;
    pOptions->CrcLength = 0x5E000;
    pOptions->DropAcksCmd = -1;
    pOptions->UnplugAfterBlocks = -1;
    pOptions->UnplugAfterPolls = -1;
    pOptions->ReplugMs = -1;
    pOptions->GarbageCmd = -1;
    pOptions->CorruptCmd = -1;
    pOptions->ReportCrc = -1;
    pOptions->Fill = 0xFF;
    pOptions->IdByte = SIM_ID_BYTE;
    pOptions->IdWord = SIM_ID_WORD;

    const option* pLongOptions = LongOptions();
    opterr = 0; // the messages are ours
    optind = 1;
    int id;
    while ((id = getopt_long(argc, argv, "", pLongOptions, nullptr)) != -1) {
        if (id < FIRST_ID || id >= FIRST_ID + static_cast<int>(OPTION_COUNT)) {
            const char* pArg = (optind - 1 < argc) ? argv[optind - 1] : "";
            snprintf(acError, errorSize, "unknown option or missing value: %s", pArg);
            return OPTIONS_INVALID;
        }
        const SimOption& row = aOptions[id - FIRST_ID];
        uint32_t value = 0;
        if (optarg != nullptr && row.pText == nullptr && !row.TextValue && !ParseNumber(optarg, &value)) {
            snprintf(acError, errorSize, "--%s: not a number: '%s'", row.pName, optarg);
            return OPTIONS_INVALID;
        }
        if (row.pSwitch != nullptr)
            pOptions->*row.pSwitch = true;
        else if (row.pNumber != nullptr)
            pOptions->*row.pNumber = value;
        else if (row.pWideNumber != nullptr)
            pOptions->*row.pWideNumber = value;
        else if (row.pText != nullptr)
            pOptions->*row.pText = optarg;
        else if (row.pfnTake != nullptr) {
            if (!row.pfnTake(pOptions, value, optarg, acError, errorSize))
                return OPTIONS_INVALID;
        } else {
            return OPTIONS_HELP;
        }
    }
    if (optind < argc) {
        snprintf(acError, errorSize, "unexpected argument: %s", argv[optind]);
        return OPTIONS_INVALID;
    }
    const bool unplugs = pOptions->UnplugAfterBlocks >= 0 || pOptions->UnplugAfterPolls >= 0;
    if (pOptions->UnplugAfterBlocks >= 0 && pOptions->UnplugAfterPolls >= 0) {
        snprintf(acError, errorSize, "--unplug-after-blocks and --unplug-after-polls: give one of them");
        return OPTIONS_INVALID;
    }
    if ((pOptions->ReplugMs >= 0 || pOptions->UnplugAdapter) && !unplugs) {
        snprintf(acError, errorSize,
                 "--replug-ms and --unplug-adapter need --unplug-after-blocks or --unplug-after-polls");
        return OPTIONS_INVALID;
    }
    // A pulled adapter has a device to pull: the one the first line names.
    if (pOptions->UnplugAdapter && (pOptions->UnplugAfterBlocks == 0 || pOptions->UnplugAfterPolls == 0)) {
        snprintf(acError, errorSize,
                 "--unplug-adapter: the adapter is pulled after 1 or more blocks or polls");
        return OPTIONS_INVALID;
    }
    if (pOptions->CrcLength != 0 && pOptions->CrcStart + (pOptions->CrcLength - 1) < pOptions->CrcStart) {
        snprintf(acError, errorSize, "the CRC area runs past 0xFFFFFFFF");
        return OPTIONS_INVALID;
    }
    if (pOptions->CorruptCmd >= 0 && pOptions->CorruptEvery == 0) {
        snprintf(acError, errorSize, "--corrupt-cmd needs --corrupt-every");
        return OPTIONS_INVALID;
    }
    if ((pOptions->GarbageCmd >= 0 || pOptions->GarbageCount != 0) && pOptions->GarbageBefore == 0) {
        snprintf(acError, errorSize, "--garbage-cmd and --garbage-count need --garbage-before");
        return OPTIONS_INVALID;
    }
    if (pOptions->DropAcksCmd >= 0 && pOptions->DropAcks == 0) {
        snprintf(acError, errorSize, "--drop-acks-cmd needs --drop-acks");
        return OPTIONS_INVALID;
    }
    return OPTIONS_RUN;
}
