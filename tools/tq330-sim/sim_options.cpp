#include "sim_options.h"
#include "sim_protocol.h"

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
    {"help", no_argument, nullptr, OPT_HELP},
    {nullptr, 0, nullptr, 0},
};

const char acHelp[] =
    "Usage: tq330-sim [OPTION]...\n"
    "Plays the TQ330's boot loader on a pseudo-terminal. The first line of standard output is the\n"
    "device to open (for the updater: TQ330_PORTS=<that path>). Flash 0xA0000..0xFDFFF, erased to\n"
    "0xFF. Runs until SIGTERM, SIGINT or SIGHUP; SIGUSR1 writes the dump and goes on.\n"
    "Numbers are decimal or 0x hexadecimal.\n"
    "\n"
    "  --baud N                 simulate a line of N baud, 11 bits a character, both ways: a frame\n"
    "                           counts as received when its last character has crossed the line, and\n"
    "                           every answer leaves at line speed (default 57600; 0: no pacing)\n"
    "  --clear-ms N             erase time between the clear Ack and its answer (default 2000)\n"
    "  --latency-ms N           a USB-serial adapter's latency timer: every answer (Ack byte or\n"
    "                           frame) reaches the host N ms after it left the device (default 0)\n"
    "  --app-ms N               after start application, nothing is answered for N ms, as a running\n"
    "                           application would not; then the boot loader is back, as after a\n"
    "                           power cycle (default: the application runs until the simulator is\n"
    "                           restarted, and nothing is answered until then)\n"
    "  --crc-start ADDR         start of the CRC area reported by identify (default 0xA0000)\n"
    "  --crc-length N           length of the CRC area (default 0x5E000)\n"
    "  --reject-at ADDR         programming fails at ADDR: a block that holds it gets an error\n"
    "                           frame (00, ADDR u32, the byte to be written); the bytes before ADDR\n"
    "                           are written. Up to 16 times\n"
    "  --drop-acks N            the first N tries of every acknowledged exchange (commands 1, 2, 3,\n"
    "                           4, 5, 7) are lost: no Ack, no answer, not carried out. A counter per\n"
    "                           command counts the frames lost in a row; the next one is served and\n"
    "                           the counter starts again (default 0)\n"
    "  --drop-acks-cmd C        apply --drop-acks to command C only\n"
    "  --corrupt-every N        every Nth frame sent (answers and error frames, not the Ack byte)\n"
    "                           is damaged as --corrupt-kind says (default 0: never)\n"
    "  --corrupt-kind K         what --corrupt-every damages: checksum (checksum + 1, the default),\n"
    "                           end (end byte 0x17), start (start byte 0x69) or length (the first\n"
    "                           length byte + 1: the frame claims one data byte more than it has)\n"
    "  --corrupt-cmd C          count and damage only the frames that answer command C (0 for the\n"
    "                           identify answers, 2 for programming error frames)\n"
    "  --garbage-before N       N bytes of line noise in front of each reply (its Ack byte or its\n"
    "                           first frame); the noise never holds 0x68 or 0x90 (default 0)\n"
    "  --garbage-cmd C          apply --garbage-before to the replies to command C only\n"
    "  --garbage-count K        only the first K such replies get noise (default 0: every one)\n"
    "  --lose-answer-at-block N the Nth programming block (counted from 1) is written, but its Ack\n"
    "                           or error frame is lost on the line (default 0: never)\n"
    "  --silent                 answer nothing at all\n"
    "  --unplug-after-blocks N  after the Nth programming block has been answered, answer nothing,\n"
    "                           as if unplugged (0: unplugged from the start)\n"
    "  --replug-ms M            with --unplug-after-blocks: back M ms after unplugging, in the boot\n"
    "                           loader, with the flash as it was; only once\n"
    "  --wrong-crc              report the CRC plus 1 (modulo 0x10000)\n"
    "  --report-crc V           report V (0 to 0xFFFF) as the CRC, whatever the flash holds\n"
    "  --fill BYTE              the flash's content at start, as an older firmware would leave it\n"
    "                           (default 0xFF; the clear command still erases to 0xFF)\n"
    "  --log FILE               one line per command frame received, flushed per line:\n"
    "                           'cmd=C addr=0xADDR len=N result=R' (addr and len: the block's address\n"
    "                           and byte count, the CRC area of a Get CRC, else 0 and the frame's L;\n"
    "                           R: ack, answer, error, dropped, silent, app, unplugged, ignored,\n"
    "                           lost)\n"
    "  --dump FILE              write the flash as binary (0x5E000 bytes from 0xA0000) on exit\n"
    "                           and on SIGUSR1\n"
    "  --check-line             hear only what arrives while the client holds the line at 57600\n"
    "                           baud, 8 data bits, odd parity, one stop bit (a pseudo-terminal\n"
    "                           keeps no parity enable, so the odd-parity flag is what counts), as\n"
    "                           the device hears only noise on any other line; each change of the\n"
    "                           line is reported on standard error\n"
    "  --id-byte N              the id byte of the identify answer (default 0x33)\n"
    "  --id-word N              the id word of the identify answer (default 0x00030B01); 0xFF and\n"
    "                           0xFFFFFFFF make an answer dense in 0xFF bytes\n"
    "  --help                   show this text and exit\n";

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

bool IsAcknowledgedCommand(uint32_t command) {
    return command == 1 || command == 2 || command == 3 || command == 4 || command == 5 || command == 7;
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

void SimOptions_PrintHelp(FILE* pOut) {
    fputs(acHelp, pOut);
}

OptionsResult SimOptions_Parse(int argc, char** argv, SimOptions* pOptions, char* acError, size_t errorSize) {
    *pOptions = SimOptions{};
    pOptions->Baud = 57600;
    pOptions->ClearMs = 2000;
    pOptions->AppMs = -1; // a device runs its new firmware until it is power cycled
    pOptions->CrcStart = 0xA0000;
    pOptions->CrcLength = 0x5E000;
    pOptions->DropAcksCmd = -1;
    pOptions->UnplugAfterBlocks = -1;
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
        bool textArgument = id == OPT_LOG || id == OPT_DUMP || id == OPT_CORRUPT_KIND;
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
            if (!IsAcknowledgedCommand(value)) {
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
            if (value != 0 && !IsAcknowledgedCommand(value)) {
                snprintf(acError, errorSize, "--corrupt-cmd: %u is not one of 0, 1, 2, 3, 4, 5, 7", value);
                return OPTIONS_INVALID;
            }
            pOptions->CorruptCmd = static_cast<int32_t>(value);
            break;
        case OPT_GARBAGE_BEFORE:
            pOptions->GarbageBefore = value;
            break;
        case OPT_GARBAGE_CMD:
            if (value != 0 && !IsAcknowledgedCommand(value)) {
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
        case OPT_HELP:
            return OPTIONS_HELP;
        }
    }
    if (optind < argc) {
        snprintf(acError, errorSize, "unexpected argument: %s", argv[optind]);
        return OPTIONS_INVALID;
    }
    if (pOptions->ReplugMs >= 0 && pOptions->UnplugAfterBlocks < 0) {
        snprintf(acError, errorSize, "--replug-ms needs --unplug-after-blocks");
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
