// The device commands whose answers the device shapes: clear, check blank, get CRC and programming,
// each run as the worker runs it, with the fuzzer's bytes as everything the device sends (queued at
// once). Clear, check blank and get CRC are checked against a model of their exchanges; programming
// against what the host wrote and which of its blocks the stream acknowledged. Every job must end
// with JobType 0 and a JobStatus of 0..3, and programming may only report success when every block
// it sent was acknowledged and the whole image was sent.
//
// Input: byte 0 picks the job. Programming takes the image from the next bytes (area count, then
// a gap and a length per area); the rest is the device's stream.
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

struct Stream {
    const uint8_t* pBytes;
    size_t Size;
    size_t At = 0;
    size_t Left() const { return Size - At; }
};

// Link_SendAcked: up to three writes, each followed by a one-byte read (empty once the stream is).
bool ExpectAck(Stream& stream, size_t& writes) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        ++writes;
        if (stream.Left() != 0 && stream.pBytes[stream.At++] == FRAME_ACK)
            return true;
    }
    return false;
}

// The next frame, or none; `acData` gets its data zero-filled to `dataSize`.
bool ExpectAnswer(Stream& stream, uint8_t& command, uint8_t& length, uint8_t* acData, size_t dataSize) {
    const fuzz::ExpectedFrame frame = fuzz::ExpectFrame(stream.pBytes + stream.At, stream.Left(), false);
    const uint8_t* pFrame = stream.pBytes + stream.At;
    stream.At += frame.Taken;
    if (!frame.Intact)
        return false;
    command = pFrame[6];
    length = pFrame[1];
    memset(acData, 0, dataSize);
    memcpy(acData, pFrame + 7, length < dataSize ? length : dataSize);
    return true;
}

void SetTargetInfo(TargetInfo& info, void*) {
    info.CrcStart = CRC_START;
    info.CrcLength = CRC_LENGTH;
    info.TargetCrc = 0x4321;
}

void CheckWritten(size_t count, uint8_t command) {
    const auto writes = fake_com::Writes();
    Check(writes.size() == count);
    for (const auto& write : writes)
        fuzz::CheckHostFrame(write.bytes, command);
}

void BlankCommand(void (*pfnJob)(), uint8_t command, Stream stream) {
    pfnJob();
    size_t writes = 0;
    uint8_t answer = 0;
    uint8_t length = 0;
    uint8_t acData[8];
    uint8_t status = STATUS_NOT_EXECUTED;
    if (ExpectAck(stream, writes) && ExpectAnswer(stream, answer, length, acData, sizeof acData) &&
        answer == 4)
        status = length == 0 ? STATUS_OK : STATUS_TARGET_ERROR;
    Check(jobState.JobStatus == status);
    CheckWritten(writes, command);
    Check(stream.Size - fake_com::Pending() == stream.At);
    if (status == STATUS_TARGET_ERROR) {
        Check(jobState.ResultAddress == fuzz::U32At(acData));
        Check(jobState.ResultValue == fuzz::U32At(acData + 4));
    } else {
        Check(jobState.ResultAddress == OLD_RESULT && jobState.ResultValue == OLD_RESULT);
    }
    const uint32_t crc = TargetInfo_TargetCrc();
    Check(command == JOB_CLEAR ? crc == TARGET_CRC_UNKNOWN : crc == 0x4321);
}

void GetCrc(Stream stream) {
    Job_GetCrc();
    size_t writes = 0;
    uint8_t answer = 0;
    uint8_t length = 0;
    uint8_t acData[3];
    size_t firstWrites = 0;
    bool ok = ExpectAck(stream, writes) && ExpectAnswer(stream, answer, length, acData, sizeof acData);
    firstWrites = writes;
    ok = ok && ExpectAck(stream, writes) && ExpectAnswer(stream, answer, length, acData, sizeof acData) &&
         answer == 5;
    Check(jobState.JobStatus == (ok ? STATUS_OK : STATUS_NOT_EXECUTED));
    Check(stream.Size - fake_com::Pending() == stream.At);
    Check(TargetInfo_TargetCrc() ==
          (ok ? uint32_t{acData[1]} | uint32_t{acData[2]} << 8 : TARGET_CRC_UNKNOWN));
    const auto written = fake_com::Writes();
    Check(written.size() == writes);
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

void Program(ImageStore* pImage, Stream stream) {
    std::vector<size_t> readsAtWrite; // index of the first read after each write
    fake_com::SetResponder(
        [&readsAtWrite](const fake_com::Bytes&) { readsAtWrite.push_back(fake_com::Reads().size()); });
    jobState.ProgramImage = pImage;
    Job_Program();
    jobState.ProgramImage = nullptr;
    fake_com::SetResponder(nullptr);

    const auto writes = fake_com::Writes();
    const auto reads = fake_com::Reads();
    const auto offsets = fuzz::ReadOffsets(reads);
    Check(offsets.back() == stream.Size - fake_com::Pending());
    Check(!writes.empty());

    // The blocks: ascending, each of consecutive stored bytes, none skipped between them.
    uint32_t next = ImageStore_FirstAddress(pImage);
    uint64_t sentBytes = 0;
    uint64_t ackedBytes = 0;
    size_t acked = 0;
    for (size_t i = 0; i < writes.size(); ++i) {
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
        // Its answer: the first read after the write is the one-byte wait for the Ack.
        const size_t read = readsAtWrite.at(i);
        const bool gotAck = read < reads.size() && reads[read].count == 1 && reads[read].got == 1 &&
                            stream.pBytes[offsets[read]] == FRAME_ACK;
        if (gotAck) {
            ++acked;
            ackedBytes += count;
        } else {
            Check(i + 1 == writes.size()); // nothing is sent after an unacknowledged block
        }
    }
    const uint8_t status = jobState.JobStatus;
    Check(status <= STATUS_CANCELLED && status != STATUS_CANCELLED);
    Check(jobState.Remaining == ImageStore_TotalBytes(pImage) - ackedBytes);
    if (status == STATUS_OK) {
        Check(acked == writes.size());
        Check(sentBytes == ImageStore_TotalBytes(pImage) && jobState.Remaining == 0);
        return;
    }
    Check(acked + 1 == writes.size());
    // The unacknowledged block's answer: the would-be Ack byte and an error frame behind it.
    const size_t ackRead = readsAtWrite.back();
    Check(ackRead < reads.size() && reads[ackRead].count == 1);
    const size_t errorAt = offsets[ackRead + 1];
    const fuzz::ExpectedFrame error = fuzz::ExpectFrame(stream.pBytes + errorAt, stream.Size - errorAt, true);
    const bool ackByteCame = reads[ackRead].got == 1;
    const bool rejected = ackByteCame && error.Intact;
    Check(status == (rejected ? STATUS_TARGET_ERROR : STATUS_NOT_EXECUTED));
    Check(offsets.back() == (ackByteCame ? errorAt + error.Taken : errorAt));
    if (rejected) {
        // Data: one unused byte, the failing address (u32), the value (u8); what a short frame
        // does not hold reads as 0.
        uint8_t acData[6] = {};
        const uint8_t length = stream.pBytes[errorAt + 1];
        memcpy(acData, stream.pBytes + errorAt + 6, length < sizeof acData ? length : sizeof acData);
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
    Stream stream{pInput + used, size - used};
    fake_com::Feed(fake_com::Bytes(stream.pBytes, stream.pBytes + stream.Size));

    switch (jobTypes[job]) {
    case JOB_CLEAR:
        BlankCommand(Job_Clear, JOB_CLEAR, stream);
        break;
    case JOB_CHECK_BLANK:
        BlankCommand(Job_CheckBlank, JOB_CHECK_BLANK, stream);
        break;
    case JOB_GET_CRC:
        GetCrc(stream);
        break;
    default:
        Program(pImage, stream);
        ImageStore_Destroy(pImage);
        break;
    }
    Check(jobState.JobType.load() == 0);
    Check(jobState.JobStatus <= STATUS_CANCELLED);
    return 0;
}
