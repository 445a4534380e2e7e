#include "sim_protocol.h"

#include "link/cursor.h"
#include "link/protocol.h"
#include "sim_faults.h"
#include "sim_flash.h"

#include <cstring>

namespace {

const SimOptions* pOpt = nullptr;
FILE* pLogFile = nullptr;

// A clear keeps the boot loader busy; its answer leaves when the erase is over.
bool busy = false;
SimTime busyUntil{};
bool appRunning = false;
SimTime appUntil{};
bool unplugged = false;
bool replugPending = false;
SimTime replugAt{};

uint32_t blocksAnswered = 0;
uint32_t pollsAnswered = 0;
uint32_t framesSent = 0;
uint32_t aDropped[CMD_START_APPLICATION + 1] = {}; // a count per acknowledged command

// The command being answered and whether its reply has begun: --garbage-before goes in front of
// the reply's first byte only.
uint8_t replyCommand = 0;
bool replyStarted = false;
uint32_t noisyReplies = 0;

bool parserWaits = false;
SimTime parserWake{};

constexpr auto INTER_BYTE_TIMEOUT = std::chrono::milliseconds(SIM_INTER_BYTE_TIMEOUT_MS);

void Log(uint8_t command, uint32_t address, uint32_t length, const char* pResult) {
    if (pLogFile == nullptr)
        return;
    fprintf(pLogFile, "cmd=%u addr=0x%X len=%u result=%s\n", command, address, length, pResult);
    fflush(pLogFile);
}

// --unplug-after-*: from the request at `at` on, nothing is answered; a pulled adapter goes once the
// last answer has left.
void Unplug(SimTime at) {
    unplugged = true;
    replugPending = pOpt->ReplugMs >= 0;
    replugAt = at + std::chrono::milliseconds(pOpt->ReplugMs < 0 ? 0 : pOpt->ReplugMs);
    if (pOpt->UnplugAdapter)
        Line_PullWhenSent();
}

SimTime SendReply(const uint8_t* pData, size_t count, SimTime at) {
    bool noisy = pOpt->GarbageBefore != 0 && (pOpt->GarbageCmd < 0 || pOpt->GarbageCmd == replyCommand);
    if (noisy && !replyStarted && (pOpt->GarbageCount == 0 || noisyReplies < pOpt->GarbageCount)) {
        ++noisyReplies;
        uint8_t acNoise[64];
        for (uint32_t left = pOpt->GarbageBefore; left != 0;) {
            uint32_t chunk = left < sizeof acNoise ? left : static_cast<uint32_t>(sizeof acNoise);
            Faults_Noise(acNoise, chunk);
            at = Line_Send(acNoise, chunk, at);
            left -= chunk;
        }
    }
    replyStarted = true;
    return Line_Send(pData, count, at);
}

SimTime SendAck(SimTime at) {
    const uint8_t ack = FRAME_ACK;
    return SendReply(&ack, 1, at);
}

SimTime SendFrame(uint8_t command, const uint8_t* pData, uint8_t length, SimTime at) {
    uint8_t acFrame[FRAME_BUFFER_SIZE] = {};
    size_t size = Frame_Build(acFrame, command, pData, length);
    bool counted = pOpt->CorruptCmd < 0 || pOpt->CorruptCmd == replyCommand;
    framesSent += counted ? 1 : 0;
    if (counted && pOpt->CorruptEvery != 0 && framesSent % pOpt->CorruptEvery == 0)
        Faults_DamageFrame(acFrame, size, pOpt->Corrupt);
    return SendReply(acFrame, size, at);
}

// Identify answer: IdByte, IdWord, T1, text 1, T2, text 2, CrcStart, CrcLength.
void AnswerIdentify(SimTime at) {
    uint8_t acData[255] = {};
    uint8_t* pWrite = acData;
    Cursor_PutU8(pWrite, pOpt->IdByte);
    Cursor_PutU32(pWrite, pOpt->IdWord);
    for (const char* pText : {pOpt->pIdText1 != nullptr ? pOpt->pIdText1 : SIM_ID_TEXT1, SIM_ID_TEXT2}) {
        size_t length = strlen(pText);
        Cursor_PutU8(pWrite, static_cast<uint32_t>(length));
        std::memcpy(pWrite, pText, length);
        pWrite += length;
    }
    Cursor_PutU32(pWrite, pOpt->CrcStart);
    Cursor_PutU32(pWrite, pOpt->CrcLength);
    SendFrame(CMD_IDENTIFY, acData, static_cast<uint8_t>(pWrite - acData), at);
}

// Clear and check blank answer with command byte 4: no data when blank, else the first address
// that is not blank and its value, both u32.
void SendBlankAnswer(SimTime at) {
    uint32_t address = 0;
    uint8_t value = 0;
    if (Flash_FindNonBlank(&address, &value) == 0) {
        SendFrame(CMD_CHECK_BLANK, nullptr, 0, at);
        return;
    }
    uint8_t acData[8];
    uint8_t* pWrite = acData;
    Cursor_PutU32(pWrite, address);
    Cursor_PutU32(pWrite, value);
    SendFrame(CMD_CHECK_BLANK, acData, sizeof acData, at);
}

// Programming: address u32 + 1 to 240 bytes. Ack when written; otherwise an error frame in place
// of the Ack byte: 00, the failing address u32, the value for it.
void Program(const uint8_t* pData, uint8_t length, SimTime at) {
    const uint8_t* pRead = pData;
    uint32_t address = length >= 4 ? Cursor_GetU32(pRead) : 0;
    uint32_t failAddress = address;
    uint8_t failValue = 0;
    bool failed = length < 5;
    if (!failed)
        failed = Flash_Program(address, pRead, length - 4u, &failAddress, &failValue) != 0;
    ++blocksAnswered;
    bool lost = pOpt->LoseAnswerAtBlock != 0 && blocksAnswered == pOpt->LoseAnswerAtBlock;
    Log(CMD_PROGRAM, address, length >= 4 ? length - 4u : 0, lost ? "lost" : failed ? "error" : "ack");
    if (lost) {
        // written (or not) as the flash decided; only the reply never reaches the updater
    } else if (failed) {
        uint8_t acError[6];
        uint8_t* pWrite = acError;
        Cursor_PutU8(pWrite, 0);
        Cursor_PutU32(pWrite, failAddress);
        Cursor_PutU8(pWrite, failValue);
        SendFrame(CMD_PROGRAM, acError, sizeof acError, at);
    } else {
        SendAck(at);
    }
    if (pOpt->UnplugAfterBlocks >= 0 && blocksAnswered == pOpt->UnplugAfterBlocks)
        Unplug(at);
}

// Get CRC: with CRC start and length (u32 each) the CRC of that area, without them the CRC of the
// area identify reports. Answer with command byte 5: one unused byte, then the CRC-16.
void AnswerCrc(const uint8_t* pData, uint8_t length, SimTime at) {
    uint32_t start = pOpt->CrcStart;
    uint32_t size = pOpt->CrcLength;
    if (length >= 8) {
        const uint8_t* pRead = pData;
        start = Cursor_GetU32(pRead);
        size = Cursor_GetU32(pRead);
    }
    Log(CMD_GET_CRC, start, size, "ack");
    uint16_t crc = Flash_Crc(start, size);
    if (pOpt->WrongCrc)
        crc = static_cast<uint16_t>(crc + 1);
    if (pOpt->ReportCrc >= 0)
        crc = static_cast<uint16_t>(pOpt->ReportCrc);
    SendAck(at);
    uint8_t acData[3] = {0, static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)};
    SendFrame(CMD_GET_CRC, acData, sizeof acData, at);
}

// --drop-acks: the first N tries of each exchange are lost; the try after them is served.
bool DropThisTry(uint8_t command) {
    if (pOpt->DropAcks == 0 || (pOpt->DropAcksCmd >= 0 && pOpt->DropAcksCmd != command))
        return false;
    if (aDropped[command] < pOpt->DropAcks) {
        ++aDropped[command];
        return true;
    }
    aDropped[command] = 0;
    return false;
}

void Dispatch(const uint8_t* acFrame, SimTime at) {
    uint8_t length = acFrame[FRAME_LENGTH_AT];
    uint8_t command = acFrame[FRAME_COMMAND_AT];
    const uint8_t* pData = acFrame + FRAME_HEADER_SIZE;
    replyCommand = command;
    replyStarted = false;
    bool away = unplugged && !(replugPending && at >= replugAt);
    bool inApp = appRunning && (pOpt->AppMs < 0 || at < appUntil);
    const char* pBlocked = pOpt->Silent ? "silent" : away ? "unplugged" : inApp ? "app" : nullptr;
    bool acknowledged = Command_IsAcknowledged(command);
    if (pBlocked == nullptr && acknowledged && DropThisTry(command))
        pBlocked = "dropped";
    if (pBlocked != nullptr || !(command == CMD_IDENTIFY || acknowledged)) {
        uint32_t address = 0;
        if (command == CMD_PROGRAM && length >= 4) {
            const uint8_t* pRead = pData;
            address = Cursor_GetU32(pRead);
        }
        Log(command, address, command == CMD_PROGRAM && length >= 4 ? length - 4u : length,
            pBlocked != nullptr ? pBlocked : "ignored");
        return;
    }
    switch (command) {
    case CMD_IDENTIFY:
        Log(CMD_IDENTIFY, 0, length, "answer");
        AnswerIdentify(at);
        if (pOpt->UnplugAfterPolls >= 0 && ++pollsAnswered == pOpt->UnplugAfterPolls)
            Unplug(at);
        break;
    case CMD_CLEAR: // Ack, erase, answer when the erase time is over
        Log(CMD_CLEAR, 0, length, "ack");
        Flash_Erase();
        busy = true;
        busyUntil = SendAck(at) + std::chrono::milliseconds(pOpt->ClearMs);
        break;
    case CMD_PROGRAM:
        Program(pData, length, at);
        break;
    case CMD_MAKE_VALID:
        Log(CMD_MAKE_VALID, 0, length, "ack");
        SendAck(at);
        break;
    case CMD_CHECK_BLANK:
        Log(CMD_CHECK_BLANK, 0, length, "ack");
        SendAck(at);
        SendBlankAnswer(at);
        break;
    case CMD_GET_CRC:
        AnswerCrc(pData, length, at);
        break;
    case CMD_START_APPLICATION: // the boot loader is gone until the application ends, if ever
        Log(CMD_START_APPLICATION, 0, length, "ack");
        appRunning = true;
        appUntil = SendAck(at) + std::chrono::milliseconds(pOpt->AppMs < 0 ? 0 : pOpt->AppMs);
        break;
    }
}

// Hunts for 0x68, checks the header, waits for the rest; a bad frame costs its first byte only,
// so a frame hidden behind garbage that starts like a header is still found. Frames are taken as
// soon as they are read, but each acts at the moment its last character is in (its arrival on the
// modelled line): answers keep to the line's schedule, with one wake-up per answer, and never
// leave before the request could have been heard.
void ParseInput(SimTime now) {
    parserWaits = false;
    while (!busy) {
        size_t have = Line_Buffered();
        size_t skip = 0;
        while (skip < have && Line_At(skip) != FRAME_START)
            ++skip;
        Line_Consume(skip);
        have -= skip;
        if (have == 0)
            return;
        size_t need = FRAME_HEADER_SIZE;
        if (have >= FRAME_HEADER_SIZE) {
            if (Line_At(1) != Line_At(2) || Line_At(3) != FRAME_START) {
                Line_Consume(1);
                continue;
            }
            need = FRAME_OVERHEAD + Line_At(FRAME_LENGTH_AT);
        }
        if (have < need) {
            SimTime giveUp = Line_ArrivalOf(have - 1) + INTER_BYTE_TIMEOUT;
            if (now < giveUp) {
                parserWaits = true;
                parserWake = giveUp;
                return;
            }
            Line_Consume(1);
            continue;
        }
        uint8_t acFrame[FRAME_BUFFER_SIZE];
        for (size_t i = 0; i < need; ++i)
            acFrame[i] = Line_At(i);
        uint8_t sum = 0;
        for (size_t i = 4; i < need - 2; ++i)
            sum = static_cast<uint8_t>(sum + acFrame[i]);
        if (acFrame[need - 2] != sum || acFrame[need - 1] != FRAME_END) {
            Line_Consume(1);
            continue;
        }
        SimTime at = Line_ArrivalOf(need - 1);
        Line_Consume(need);
        Dispatch(acFrame, at);
    }
}

} // namespace

void Protocol_Init(const SimOptions* pOptions, FILE* pLog, SimTime now) {
    pOpt = pOptions;
    pLogFile = pLog;
    Flash_Fill(pOptions->Fill);
    Flash_SetRejected(pOptions->RejectAt, pOptions->RejectCount);
    if (pOptions->UnplugAfterBlocks == 0 || pOptions->UnplugAfterPolls == 0)
        Unplug(now); // the device only: an adapter is pulled after at least one answer
}

void Protocol_Step(SimTime now) {
    if (busy && now >= busyUntil) {
        busy = false;
        SendBlankAnswer(busyUntil);
    }
    if (appRunning && pOpt->AppMs >= 0 && now >= appUntil)
        appRunning = false;
    if (unplugged && replugPending && now >= replugAt) {
        unplugged = false;
        replugPending = false;
        if (pOpt->UnplugAdapter && Line_PlugIn() != 0)
            fprintf(stderr, "tq330-sim: cannot plug the adapter in again\n");
    }
    ParseInput(now);
}

bool Protocol_NextEvent(SimTime* pAt) {
    bool any = false;
    auto consider = [&](bool active, SimTime at) {
        if (active && (!any || at < *pAt)) {
            *pAt = at;
            any = true;
        }
    };
    consider(busy, busyUntil);
    consider(parserWaits && !busy, parserWake);
    consider(appRunning && pOpt->AppMs >= 0, appUntil);
    consider(unplugged && replugPending, replugAt);
    return any;
}
