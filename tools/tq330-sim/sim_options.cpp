#include "sim_options.h"
#include "sim_protocol.h"

#include "link/protocol.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

namespace {

enum OptionId {
    OPT_BAUD = 256,
    OPT_CLEAR_MS,
    OPT_APP_MS,
    OPT_CRC_START,
    OPT_CRC_LENGTH,
    OPT_REJECT_AT,
    OPT_DROP_ACKS,
    OPT_DROP_ACKS_CMD,
    OPT_CORRUPT_EVERY,
    OPT_SILENT,
    OPT_UNPLUG_AFTER_BLOCKS,
    OPT_REPLUG_MS,
    OPT_WRONG_CRC,
    OPT_CORRUPT_KIND,
    OPT_CORRUPT_CMD,
    OPT_GARBAGE_BEFORE,
    OPT_GARBAGE_CMD,
    OPT_GARBAGE_COUNT,
    OPT_LOSE_ANSWER_AT_BLOCK,
    OPT_REPORT_CRC,
    OPT_FILL,
    OPT_LOG,
    OPT_DUMP,
    OPT_LATENCY_MS,
    OPT_CHECK_LINE,
    OPT_ID_BYTE,
    OPT_ID_WORD,
    OPT_UNPLUG_AFTER_POLLS,
    OPT_UNPLUG_ADAPTER,
    OPT_LINK,
    OPT_HELP,
};

const option aLongOptions[] = {
    {"baud", required_argument, nullptr, OPT_BAUD},
    {"clear-ms", required_argument, nullptr, OPT_CLEAR_MS},
    {"app-ms", required_argument, nullptr, OPT_APP_MS},
    {"crc-start", required_argument, nullptr, OPT_CRC_START},
    {"crc-length", required_argument, nullptr, OPT_CRC_LENGTH},
    {"reject-at", required_argument, nullptr, OPT_REJECT_AT},
    {"drop-acks", required_argument, nullptr, OPT_DROP_ACKS},
    {"drop-acks-cmd", required_argument, nullptr, OPT_DROP_ACKS_CMD},
    {"corrupt-every", required_argument, nullptr, OPT_CORRUPT_EVERY},
    {"silent", no_argument, nullptr, OPT_SILENT},
    {"unplug-after-blocks", required_argument, nullptr, OPT_UNPLUG_AFTER_BLOCKS},
    {"replug-ms", required_argument, nullptr, OPT_REPLUG_MS},
    {"wrong-crc", no_argument, nullptr, OPT_WRONG_CRC},
    {"corrupt-kind", required_argument, nullptr, OPT_CORRUPT_KIND},
    {"corrupt-cmd", required_argument, nullptr, OPT_CORRUPT_CMD},
    {"garbage-before", required_argument, nullptr, OPT_GARBAGE_BEFORE},
    {"garbage-cmd", required_argument, nullptr, OPT_GARBAGE_CMD},
    {"garbage-count", required_argument, nullptr, OPT_GARBAGE_COUNT},
    {"lose-answer-at-block", required_argument, nullptr, OPT_LOSE_ANSWER_AT_BLOCK},
    {"report-crc", required_argument, nullptr, OPT_REPORT_CRC},
    {"fill", required_argument, nullptr, OPT_FILL},
    {"log", required_argument, nullptr, OPT_LOG},
    {"dump", required_argument, nullptr, OPT_DUMP},
    {"latency-ms", required_argument, nullptr, OPT_LATENCY_MS},
    {"check-line", no_argument, nullptr, OPT_CHECK_LINE},
    {"id-byte", required_argument, nullptr, OPT_ID_BYTE},
    {"id-word", required_argument, nullptr, OPT_ID_WORD},
    {"unplug-after-polls", required_argument, nullptr, OPT_UNPLUG_AFTER_POLLS},
    {"unplug-adapter", no_argument, nullptr, OPT_UNPLUG_ADAPTER},
    {"link", required_argument, nullptr, OPT_LINK},
    {"help", no_argument, nullptr, OPT_HELP},
    {nullptr, 0, nullptr, 0},
};

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

    opterr = 0; // the messages are ours
    optind = 1;
    int id;
    while ((id = getopt_long(argc, argv, "", aLongOptions, nullptr)) != -1) {
        uint32_t value = 0;
        if (id == '?' || id == ':') {
            const char* pArg = (optind - 1 < argc) ? argv[optind - 1] : "";
            snprintf(acError, errorSize, "unknown option or missing value: %s", pArg);
            return OPTIONS_INVALID;
        }
        bool textArgument = id == OPT_LOG || id == OPT_DUMP || id == OPT_CORRUPT_KIND || id == OPT_LINK;
        if (optarg != nullptr && !textArgument && !ParseNumber(optarg, &value)) {
            snprintf(acError, errorSize, "--%s: not a number: '%s'", aLongOptions[id - OPT_BAUD].name,
                     optarg);
            return OPTIONS_INVALID;
        }
        switch (id) {
        case OPT_BAUD:
            pOptions->Baud = value;
            break;
        case OPT_CLEAR_MS:
            pOptions->ClearMs = value;
            break;
        case OPT_APP_MS:
            pOptions->AppMs = value;
            break;
        case OPT_CRC_START:
            pOptions->CrcStart = value;
            break;
        case OPT_CRC_LENGTH:
            pOptions->CrcLength = value;
            break;
        case OPT_REJECT_AT:
            if (pOptions->RejectCount == SIM_MAX_REJECTS) {
                snprintf(acError, errorSize, "--reject-at: at most %zu addresses", SIM_MAX_REJECTS);
                return OPTIONS_INVALID;
            }
            pOptions->RejectAt[pOptions->RejectCount++] = value;
            break;
        case OPT_DROP_ACKS:
            pOptions->DropAcks = value;
            break;
        case OPT_DROP_ACKS_CMD:
            if (!Command_IsAcknowledged(value)) {
                snprintf(acError, errorSize, "--drop-acks-cmd: %u is not one of 1, 2, 3, 4, 5, 7", value);
                return OPTIONS_INVALID;
            }
            pOptions->DropAcksCmd = static_cast<int32_t>(value);
            break;
        case OPT_CORRUPT_EVERY:
            pOptions->CorruptEvery = value;
            break;
        case OPT_SILENT:
            pOptions->Silent = true;
            break;
        case OPT_UNPLUG_AFTER_BLOCKS:
            pOptions->UnplugAfterBlocks = value;
            break;
        case OPT_REPLUG_MS:
            pOptions->ReplugMs = value;
            break;
        case OPT_WRONG_CRC:
            pOptions->WrongCrc = true;
            break;
        case OPT_CORRUPT_KIND:
            if (!ParseCorruptKind(optarg, &pOptions->Corrupt)) {
                snprintf(acError, errorSize, "--corrupt-kind: '%s' is not checksum, end, start or length",
                         optarg);
                return OPTIONS_INVALID;
            }
            break;
        case OPT_CORRUPT_CMD:
            if (value != 0 && !Command_IsAcknowledged(value)) {
                snprintf(acError, errorSize, "--corrupt-cmd: %u is not one of 0, 1, 2, 3, 4, 5, 7", value);
                return OPTIONS_INVALID;
            }
            pOptions->CorruptCmd = static_cast<int32_t>(value);
            break;
        case OPT_GARBAGE_BEFORE:
            pOptions->GarbageBefore = value;
            break;
        case OPT_GARBAGE_CMD:
            if (value != 0 && !Command_IsAcknowledged(value)) {
                snprintf(acError, errorSize, "--garbage-cmd: %u is not one of 0, 1, 2, 3, 4, 5, 7", value);
                return OPTIONS_INVALID;
            }
            pOptions->GarbageCmd = static_cast<int32_t>(value);
            break;
        case OPT_GARBAGE_COUNT:
            pOptions->GarbageCount = value;
            break;
        case OPT_LOSE_ANSWER_AT_BLOCK:
            pOptions->LoseAnswerAtBlock = value;
            break;
        case OPT_REPORT_CRC:
            if (value > 0xFFFF) {
                snprintf(acError, errorSize, "--report-crc: 0x%X does not fit 16 bits", value);
                return OPTIONS_INVALID;
            }
            pOptions->ReportCrc = value;
            break;
        case OPT_FILL:
            if (value > 0xFF) {
                snprintf(acError, errorSize, "--fill: 0x%X is not a byte", value);
                return OPTIONS_INVALID;
            }
            pOptions->Fill = static_cast<uint8_t>(value);
            break;
        case OPT_LOG:
            pOptions->pLogPath = optarg;
            break;
        case OPT_DUMP:
            pOptions->pDumpPath = optarg;
            break;
        case OPT_LATENCY_MS:
            pOptions->LatencyMs = value;
            break;
        case OPT_CHECK_LINE:
            pOptions->CheckLine = true;
            break;
        case OPT_ID_BYTE:
            if (value > 0xFF) {
                snprintf(acError, errorSize, "--id-byte: 0x%X is not a byte", value);
                return OPTIONS_INVALID;
            }
            pOptions->IdByte = static_cast<uint8_t>(value);
            break;
        case OPT_ID_WORD:
            pOptions->IdWord = value;
            break;
        case OPT_UNPLUG_AFTER_POLLS:
            pOptions->UnplugAfterPolls = value;
            break;
        case OPT_UNPLUG_ADAPTER:
            pOptions->UnplugAdapter = true;
            break;
        case OPT_LINK:
            pOptions->pLinkPath = optarg;
            break;
        case OPT_HELP:
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
