// The device commands whose answers the device shapes: clear, check blank, get CRC and programming,
// each run as the worker runs it, with the fuzzer's bytes as the device's answers. Clear, check blank and get
// CRC are checked against a model of their exchanges; programming against what the host wrote and which of
// its blocks the device acknowledged. Every job must end with JobType 0 and a JobStatus of 0..3, and
// programming may only report success when every block it sent was acknowledged and the whole image was sent.
//
// Input: byte 0 picks the job. Programming takes the image from the next bytes (area count, then
// a gap and a length per area); the rest is the device's script: [delay][length][bytes] chunks, one
// sent in answer to each frame the host writes.
#include <cstring>
#include <vector>

#include "fuzz_line.h"
#include "image/image_store.h"
#include "link/frame.h"
#include "link/job_state.h"
#include "link/jobs.h"
#include "link/worker.h"

namespace {

using fuzz::Check;

constexpr uint32_t CRC_START = 0x00012345;
constexpr uint32_t CRC_LENGTH = 0x00abcdef;
constexpr uint32_t OLD_RESULT = 0xAAAA5555;
constexpr uint32_t GET_CRC_TIMEOUT_MS = 10000;
constexpr uint32_t BLOCK_ERROR_TIMEOUT_MS = 1000;

// The next frame from the model's line, or none; `acData` gets its data zero-filled to `dataSize`.
bool TakeAnswer(fuzz::LineModel& model, uint32_t timeoutMs, uint8_t& command, uint8_t& length,
                uint8_t* acData, size_t dataSize) {
    std::vector<uint8_t> frame;
    if (!model.TakeFrame(false, timeoutMs, &frame).Intact)
        return false;
    command = frame[6];
    length = frame[1];
    memset(acData, 0, dataSize);
    memcpy(acData, frame.data() + 7, length < dataSize ? length : dataSize);
    return true;
}

void SetTargetInfo(TargetInfo& info, void*) {
    info.CrcStart = CRC_START;
    info.CrcLength = CRC_LENGTH;
    info.TargetCrc = 0x4321;
}

void CheckWritten(uint8_t command) {
    for (const auto& write : fake_com::Writes())
        fuzz::CheckHostFrame(write.bytes, command);
}

void BlankCommand(void (*pfnJob)(), uint8_t command, uint32_t timeoutMs, fuzz::LineModel& model) {
    pfnJob();
    uint8_t answer = 0;
    uint8_t length = 0;
    uint8_t acData[8];
    uint8_t status = STATUS_NOT_EXECUTED;
    if (model.SendAcked() && TakeAnswer(model, timeoutMs, answer, length, acData, sizeof acData) &&
        answer == 4)
        status = length == 0 ? STATUS_OK : STATUS_TARGET_ERROR;
    Check(jobState.JobStatus == status);
    model.CheckLine();
    CheckWritten(command);
    if (status == STATUS_TARGET_ERROR) {
        Check(jobState.ResultAddress == fuzz::U32At(acData));
        Check(jobState.ResultValue == fuzz::U32At(acData + 4));
    } else {
        Check(jobState.ResultAddress == OLD_RESULT && jobState.ResultValue == OLD_RESULT);
    }
    const uint32_t crc = TargetInfo_TargetCrc();
    Check(command == JOB_CLEAR ? crc == TARGET_CRC_UNKNOWN : crc == 0x4321);
}

void GetCrc(fuzz::LineModel& model) {
    Job_GetCrc();
    uint8_t answer = 0;
    uint8_t length = 0;
    uint8_t acData[3];
    bool ok =
        model.SendAcked() && TakeAnswer(model, GET_CRC_TIMEOUT_MS, answer, length, acData, sizeof acData);
    const size_t firstWrites = model.Sends;
    ok = ok && model.SendAcked() &&
         TakeAnswer(model, GET_CRC_TIMEOUT_MS, answer, length, acData, sizeof acData) && answer == 5;
    Check(jobState.JobStatus == (ok ? STATUS_OK : STATUS_NOT_EXECUTED));
    model.CheckLine();
    Check(TargetInfo_TargetCrc() ==
          (ok ? uint32_t{acData[1]} | uint32_t{acData[2]} << 8 : TARGET_CRC_UNKNOWN));
    const auto written = fake_com::Writes();
    for (size_t i = 0; i < written.size(); ++i) {
        const auto data = fuzz::CheckHostFrame(written[i].bytes, JOB_GET_CRC);
        if (i < firstWrites) {
            Check(data.empty());
        } else {
            Check(data.size() == 8 && fuzz::U32At(data.data()) == CRC_START &&
                  fuzz::U32At(data.data() + 4) == CRC_LENGTH);
        }
    }
}

uint8_t ImageByte(uint32_t address) {
    return static_cast<uint8_t>(address * 7 + (address >> 8));
}

// Up to three areas of 1 to 766 bytes with gaps of 0 to 255 bytes; a first gap byte of 0xFF puts
// the image's end at the top of the address space.
size_t BuildImage(ImageStore* pStore, const uint8_t* pInput, size_t size) {
    if (size < 1)
        return 0;
    const size_t areas = pInput[0] % 3 + 1;
    if (size < 1 + 2 * areas)
        return 0;
    uint64_t span = 0;
    for (size_t i = 0; i < areas; ++i)
        span += pInput[1 + 2 * i] + (1 + pInput[2 + 2 * i] * 3u);
    uint32_t address = pInput[1] == 0xFF ? static_cast<uint32_t>((uint64_t{1} << 32) - span + 0xFF)
                                         : uint32_t{pInput[1]} << 24;
    for (size_t i = 0; i < areas; ++i) {
        if (i > 0)
            address += pInput[1 + 2 * i];
        const uint32_t length = 1 + pInput[2 + 2 * i] * 3u;
        std::vector<uint8_t> bytes(length);
        for (uint32_t k = 0; k < length; ++k)
            bytes[k] = ImageByte(address + k);
        Check(ImageStore_AddBytes(pStore, address, length, bytes.data()) == 0);
        address += length;
    }
    return 1 + 2 * areas;
}

void Program(ImageStore* pImage, fuzz::LineModel& model) {
    jobState.ProgramImage = pImage;
    Job_Program();
    jobState.ProgramImage = nullptr;

    const auto writes = fake_com::Writes();
    Check(!writes.empty());
    // The blocks: ascending, each of consecutive stored bytes, none skipped between them, and each
    // answered from the model's line as Link_SendBlock must take the answer.
    uint32_t next = ImageStore_FirstAddress(pImage);
    uint64_t sentBytes = 0;
    uint64_t ackedBytes = 0;
    bool lastAcked = true;
    fuzz::ExpectedFrame error{false, 0};
    std::vector<uint8_t> errorFrame;
    for (size_t i = 0; i < writes.size(); ++i) {
        Check(lastAcked); // nothing is sent after an unacknowledged block
        const auto data = fuzz::CheckHostFrame(writes[i].bytes, JOB_PROGRAM);
        Check(data.size() >= 5 && data.size() <= 4 + BLOCK_MAX);
        const uint32_t address = fuzz::U32At(data.data());
        Check(address >= next);
        for (uint32_t a = next; a != address; ++a) // the gap before the block holds nothing
            Check(ImageStore_GetByte(pImage, a) < 0);
        const uint32_t count = static_cast<uint32_t>(data.size() - 4);
        for (uint32_t k = 0; k < count; ++k)
            Check(ImageStore_GetByte(pImage, address + k) == ImageByte(address + k) &&
                  data[4 + k] == ImageByte(address + k));
        next = address + count;
        sentBytes += count;
        model.Send();
        lastAcked = model.TakeAck();
        if (lastAcked)
            ackedBytes += count;
        else
            error = model.TakeFrame(true, BLOCK_ERROR_TIMEOUT_MS, &errorFrame);
    }
    model.CheckLine();
    const uint8_t status = jobState.JobStatus;
    Check(status <= STATUS_NOT_EXECUTED);
    Check(jobState.Remaining == ImageStore_TotalBytes(pImage) - ackedBytes);
    if (status == STATUS_OK) {
        Check(lastAcked);
        Check(sentBytes == ImageStore_TotalBytes(pImage) && jobState.Remaining == 0);
        return;
    }
    Check(!lastAcked);
    // The unacknowledged block's answer: the would-be Ack byte (or none within its timeout) and an
    // error frame behind it, read in continuation layout either way.
    const bool rejected = error.Intact;
    Check(status == (rejected ? STATUS_TARGET_ERROR : STATUS_NOT_EXECUTED));
    if (rejected) {
        // Data (continuation layout, from offset 6): one unused byte, the failing address (u32), the
        // value (u8); what a short frame does not hold reads as 0.
        uint8_t acData[6] = {};
        const uint8_t length = errorFrame[1];
        memcpy(acData, errorFrame.data() + 6, length < sizeof acData ? length : sizeof acData);
        Check(jobState.ResultAddress == fuzz::U32At(acData + 1));
        Check(jobState.ResultValue == acData[5]);
    } else {
        Check(jobState.ResultAddress == fuzz::U32At(writes.back().bytes.data() + 7)); // the block unsent
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pInput, size_t size) {
    if (size < 1)
        return 0;
    const uint8_t job = pInput[0] % 4;
    fuzz::ResetLine();
    TargetInfo_Update(SetTargetInfo, nullptr);
    jobState.ResultAddress = OLD_RESULT;
    jobState.ResultValue = OLD_RESULT;
    jobState.JobStatus = 0xEE;
    jobState.AbortFlag = 0;
    static const uint8_t jobTypes[] = {JOB_CLEAR, JOB_CHECK_BLANK, JOB_GET_CRC, JOB_PROGRAM};
    jobState.JobType.store(jobTypes[job]);

    ImageStore* pImage = nullptr;
    size_t used = 1;
    if (jobTypes[job] == JOB_PROGRAM) {
        pImage = ImageStore_Create();
        const size_t imageBytes = BuildImage(pImage, pInput + 1, size - 1);
        if (imageBytes == 0) {
            ImageStore_Destroy(pImage);
            return 0;
        }
        used += imageBytes;
    }
    fuzz::Script device{pInput + used, size - used};
    fuzz::LineModel model{{pInput + used, size - used}, {}, 0};
    fuzz::AnswerFrom(device);

    switch (jobTypes[job]) {
    case JOB_CLEAR:
        BlankCommand(Job_Clear, JOB_CLEAR, 30000, model);
        break;
    case JOB_CHECK_BLANK:
        BlankCommand(Job_CheckBlank, JOB_CHECK_BLANK, 10000, model);
        break;
    case JOB_GET_CRC:
        GetCrc(model);
        break;
    default:
        Program(pImage, model);
        ImageStore_Destroy(pImage);
        break;
    }
    fake_com::SetResponder(nullptr);
    Check(jobState.JobType.load() == 0);
    Check(jobState.JobStatus <= STATUS_CANCELLED);
    return 0;
}
