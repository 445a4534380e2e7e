// Command line of the device simulator: what it serves, how fast, and which faults it injects.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr size_t SIM_MAX_REJECTS = 16;

// Which part of an answer frame --corrupt-every damages.
enum CorruptKind { CORRUPT_CHECKSUM, CORRUPT_END, CORRUPT_START, CORRUPT_LENGTH };

struct SimOptions {
    uint32_t Baud;      // 0: no pacing
    uint32_t ClearMs;   // erase time between the clear Ack and its answer
    uint32_t LatencyMs; // a USB-serial adapter's latency timer: each answer reaches the host this late
    int64_t AppMs;      // how long a started application keeps the boot loader away; -1: for good
    uint32_t CrcStart;  // CRC area reported by identify
    uint32_t CrcLength;
    uint32_t RejectAt[SIM_MAX_REJECTS];
    uint32_t RejectCount;
    uint32_t DropAcks;     // the first N tries of every acknowledged exchange are lost
    int32_t DropAcksCmd;   // -1: every acknowledged command, else only this one
    uint32_t CorruptEvery; // 0: never; N: every Nth frame sent is damaged as CorruptKind says
    CorruptKind Corrupt;
    int32_t CorruptCmd;         // -1: frames of every reply count; else only the replies to this command
    uint32_t GarbageBefore;     // noise bytes in front of each reply to GarbageCmd
    int32_t GarbageCmd;         // -1: replies to every command
    uint32_t GarbageCount;      // 0: every such reply; K: only the first K
    uint32_t LoseAnswerAtBlock; // 0: never; N: block N is written but neither Ack nor error frame leaves
    int64_t ReportCrc;          // -1: the computed CRC; else this value is reported
    uint8_t Fill;               // the flash's content at start (the clear still erases to 0xFF)
    bool Silent;
    int64_t UnplugAfterBlocks; // -1: never
    int64_t UnplugAfterPolls;  // -1: never
    bool UnplugAdapter;        // the unplug pulls the adapter (its pty closes), not only the device
    int64_t ReplugMs;          // -1: stays unplugged
    bool WrongCrc;
    bool CheckLine; // hear only a client whose line is 57600 baud, 8 data bits, odd parity
    uint8_t IdByte; // the identify answer's id byte and word
    uint32_t IdWord;
    const char* pIdText1;  // the identify answer's first text; nullptr: SIM_ID_TEXT1
    const char* pLogPath;  // nullptr: no log
    const char* pDumpPath; // nullptr: no dump
    const char* pLinkPath; // nullptr: no link
};

enum OptionsResult { OPTIONS_RUN, OPTIONS_HELP, OPTIONS_INVALID };

// Fills pOptions with the defaults and then the arguments. With OPTIONS_INVALID the reason is in
// acError.
OptionsResult SimOptions_Parse(int argc, char** argv, SimOptions* pOptions, char* acError, size_t errorSize);
void SimOptions_PrintHelp(FILE* pOut);
