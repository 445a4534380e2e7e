// The record's lines: what one device attempt was, built once and handed to the platform's file.
#include "app/cli/cli_record.h"

#include "app/app.h"
#include "app/cli/cli_firmware.h"
#include "image/image_store.h"
#include "link/com.h"
#include "link/com_ports.h"
#include "link/protocol.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

bool bOn = false;
std::string FirmwareName;
long long FirmwareSize = 0;
uint16_t FirmwareCrc = 0;
std::string FirmwareSha256;

// The link's resends: a frame sent again with the same bytes as the one before it. The identify
// poll repeats by design and is left out.
void (*pfnTraceBefore)(int, const uint8_t*, uint32_t) = nullptr;
std::atomic<int> Retries{0};
std::vector<uint8_t> LastSent; // touched only here, under the port lock

void CountRetries(int sent, const uint8_t* pData, uint32_t count) {
    if (pfnTraceBefore != nullptr)
        pfnTraceBefore(sent, pData, count);
    if (!sent || Frame_CommandOf(pData, count) < 0 || pData[FRAME_COMMAND_AT] == CMD_IDENTIFY)
        return;
    if (LastSent.size() == count && std::memcmp(LastSent.data(), pData, count) == 0)
        Retries.fetch_add(1);
    LastSent.assign(pData, pData + count);
}

} // namespace

std::string REC_Printable(const uint8_t* pText, uint8_t length) {
    std::string out;
    for (uint8_t i = 0; i < length; ++i) {
        if (pText[i] >= 0x20 && pText[i] < 0x7F) {
            out += static_cast<char>(pText[i]);
        } else {
            char acByte[8];
            std::snprintf(acByte, sizeof acByte, "\\x%02X", pText[i]);
            out += acByte;
        }
    }
    return out;
}

void REC_AddIdentify(JsonLine& line, const TargetInfo& info) {
    line.Add("id_text1", REC_Printable(info.IdText1, info.IdText1Length))
        .Add("id_text2", REC_Printable(info.IdText2, info.IdText2Length))
        .AddHex("id_byte", info.IdByte, 2)
        .AddHex("id_word", info.IdWord)
        .AddHex("crc_start", info.CrcStart)
        .Add("crc_length", static_cast<long long>(info.CrcLength));
}

std::string REC_IdentifyText(const TargetInfo& info) {
    char acArea[96];
    std::snprintf(acArea, sizeof acArea, ", id byte 0x%02X, id word 0x%08X, CRC area 0x%X + 0x%X bytes",
                  static_cast<unsigned>(info.IdByte), static_cast<unsigned>(info.IdWord),
                  static_cast<unsigned>(info.CrcStart), static_cast<unsigned>(info.CrcLength));
    return "\"" + REC_Printable(info.IdText1, info.IdText1Length) + "\" / \"" +
           REC_Printable(info.IdText2, info.IdText2Length) + "\"" + acArea;
}

bool REC_Open(const std::string& path, const std::string& firmwarePath, std::string* pError) {
    if (path.empty())
        return true;
    std::string sha256;
    if (!CLI_FirmwareSha256(firmwarePath, &sha256, pError))
        return false;
    if (!REC_OpenFile(path, pError))
        return false;
    FirmwareName = firmwarePath.empty() ? "built in" : firmwarePath;
    FirmwareSize = ImageStore_TotalBytes(pProgramImage);
    uint32_t first = 0, last = 0;
    FirmwareCrc = CLI_ImageSpanCrc(&first, &last);
    FirmwareSha256 = sha256;
    REC_CountRetries();
    bOn = true;
    return true;
}

void REC_CountRetries() {
    if (pfnComTrace == CountRetries)
        return;
    pfnTraceBefore = pfnComTrace;
    pfnComTrace = CountRetries;
}

long long REC_Retries() {
    return Retries.load();
}

void REC_ResetRetries() {
    Retries.store(0);
}

bool REC_IsOn() {
    return bOn;
}

bool REC_Write(const RecordAttempt& a, std::string* pError) {
    ComAdapter adapter = COM_AdapterOf(a.Device);
    JsonLine line;
    line.Add("time", REC_UtcNow()).Add("host", REC_HostName()).Add("port", a.Port).Add("device", a.Device);
    if (!adapter.StableName.empty())
        line.Add("stable_name", adapter.StableName);
    if (!adapter.UsbSerial.empty())
        line.Add("usb_serial", adapter.UsbSerial);
    if (a.Identified)
        REC_AddIdentify(line, a.Info);
    line.Add("firmware", FirmwareName)
        .Add("firmware_size", FirmwareSize)
        .AddHex("firmware_crc", FirmwareCrc)
        .Add("firmware_sha256", FirmwareSha256);
    if (a.CrcBefore != TARGET_CRC_UNKNOWN)
        line.AddHex("crc_before", a.CrcBefore);
    if (a.CrcAfter != TARGET_CRC_UNKNOWN)
        line.AddHex("crc_after", a.CrcAfter);
    line.Add("result", a.Result).Add("exit_code", static_cast<long long>(a.ExitCode));
    if (!a.FailedStep.empty())
        line.Add("failed_step", a.FailedStep);
    line.Add("retries", static_cast<long long>(Retries.exchange(0))).Add("seconds", a.Seconds);
    return REC_AppendLine(line.Text + "}\n", pError);
}
