// A network port fed as a server feeds it: the fuzzer's bytes, cut into chunks at any point and sent
// at any time, through the set-up (the Telnet negotiation and the COM-PORT-OPTION line set-up) and
// the data phase of a real connection of the backend (link/com_net*.cpp), the socket layer replaced
// by a scripted server on a virtual clock (fuzz_server.cpp). Checked beyond the sanitizers:
// - it ends: the set-up within its 2 s (plus one stalled send), every read by its deadline and never
//   before it, and a set-up that fails says why;
// - the data come through exactly: the reads return the server's data after the set-up, 0xFF
//   undoubled and the commands taken out, however the stream was cut (the reference is a decoder
//   written here over the whole stream at once);
// - the client sends its frame as data and nothing else, every command whole;
// - a set-up that succeeds had each line setting confirmed, last, with the value asked for, and no
//   SET-CONTROL answer against the request: settings confirmed with garbage are refused.
//
// Input: byte 0 flags (bit 0 tcp:// instead of rfc2217://; bit 1 the server closes after its last
// byte; bit 2 a frame longer than one write; bit 3 the server stops reading after bits 4-5 writes;
// bits 5-7 all set: the last chunk is sent again and again, up to 200 KB at once, in one input of
// eight, as such an input costs a hundred small ones). Byte 1 the line settings
// (bits 0-1 data bits 5 + n, bits 2-4 parity, bits 5-6 stop bits, bit 7 a baud rate with 0xFF
// bytes). Byte 2 the frame's length n, then its n bytes. Then the server's chunks [delay][length]
// [bytes], each arriving delay x 8 ms after the one before.
#include "fuzz_line.h"
#include "fuzz_server.h"
#include "link/com_net.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

using fuzz::Check;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t DELAY_UNIT_US = 8000;
constexpr size_t AMPLIFIED_SIZE = 200 * 1024;
constexpr size_t LONG_FRAME = 700; // more than one write's 512 data bytes
constexpr uint64_t SETUP_US = 2000 * 1000;
constexpr uint64_t STALL_US = 5000 * 1000;
constexpr uint64_t ROUNDING_US = 1000; // a wait is asked for in whole milliseconds, rounded up
constexpr uint32_t READ_TIMEOUT_MS = 1000;
constexpr uint32_t aWants[] = {7, 1, 64, 500, 2};
constexpr uint32_t ODD_BAUD = 0xFF00FF; // its 0xFF bytes are doubled inside the subnegotiation
constexpr size_t LONGEST_ANSWER = sizeof TelnetState{}.acSub;

char acPortName[32];

// The checks' own code: left out of the coverage that guides the fuzzer (its branches say nothing
// about the code under test), and kept cheap, since a stream may hold 200 KB.
#define TQ330_ORACLE __attribute__((no_sanitize("coverage")))

// The server's stream as a receiver that sees it whole reads it: data bytes, each with the index of
// the stream byte that completes it, and the subnegotiations with the index of their SE (their
// first bytes only: a longer one is no answer). Its buffers are kept from one input to the next.
struct Decoded {
    std::vector<uint8_t> Data;
    std::vector<size_t> DataAt;
    size_t Count = 0; // of Data and DataAt
    struct Sub {
        uint8_t Payload[LONGEST_ANSWER + 1]; // 0xFF undoubled
        size_t Length;
        size_t At;
    };
    std::vector<Sub> Subs;
    bool Whole = true; // no command cut off by the end
};

TQ330_ORACLE void Decode(const Bytes& s, Decoded& d) {
    const size_t n = s.size();
    if (d.Data.size() < n) {
        d.Data.resize(n);
        d.DataAt.resize(n);
    }
    uint8_t* pData = d.Data.data();
    size_t* pAt = d.DataAt.data();
    size_t count = 0;
    d.Subs.clear();
    d.Whole = false; // until the end is reached between two commands
    size_t i = 0;
    while (i < n) {
        if (s[i] != TELNET_IAC) {
            pData[count] = s[i];
            pAt[count++] = i++;
            continue;
        }
        if (i + 1 == n)
            break;
        const uint8_t command = s[i + 1];
        if (command == TELNET_IAC) {
            pData[count] = TELNET_IAC;
            pAt[count++] = i + 1;
            i += 2;
        } else if (command >= TELNET_WILL) { // WILL, WONT, DO, DONT and the option
            if (i + 2 >= n)
                break;
            i += 3;
        } else if (command != TELNET_SB) {
            i += 2;
        } else {
            // Up to IAC SE; IAC IAC is 0xFF; any other command breaks it off and counts on its own.
            Decoded::Sub sub{};
            auto add = [&sub](uint8_t byte) {
                if (sub.Length < sizeof sub.Payload)
                    sub.Payload[sub.Length] = byte;
                sub.Length++;
            };
            size_t j = i + 2;
            while (j < n && (s[j] != TELNET_IAC || (j + 1 < n && s[j + 1] == TELNET_IAC))) {
                add(s[j]);
                j += s[j] == TELNET_IAC ? 2 : 1;
            }
            if (j + 1 >= n) {
                i = n + 1; // cut off inside
                break;
            }
            if (s[j + 1] == TELNET_SE) {
                sub.At = j + 1;
                d.Subs.push_back(sub);
                i = j + 2;
            } else {
                i = j;
            }
        }
    }
    d.Whole = i == n;
    d.Count = count;
}

// The data the reference takes from stream bytes [from, to).
TQ330_ORACLE Bytes DataBetween(const Decoded& d, size_t from, size_t to) {
    const size_t* pAt = d.DataAt.data();
    const size_t first = static_cast<size_t>(std::lower_bound(pAt, pAt + d.Count, from) - pAt);
    const size_t last = static_cast<size_t>(std::lower_bound(pAt, pAt + d.Count, to) - pAt);
    return Bytes(d.Data.data() + first, d.Data.data() + last);
}

TQ330_ORACLE bool IsPrefix(const Bytes& part, const Bytes& whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// A server that confirmed garbage must not pass: the last COM-PORT-OPTION answer to each line
// setting, among those ended in stream bytes [from, to), carries the value asked for, and the last
// answer of each SET-CONTROL group the state asked for. Answers longer than any real one, and a
// baud rate answer of fewer than four bytes, are no answers.
TQ330_ORACLE void CheckConfirmed(const Decoded& d, size_t from, size_t to, const PortSettings& s) {
    constexpr uint8_t aStopCodes[] = {1, 3, 2};
    const uint32_t aAsked[] = {0, s.BaudRate, s.DataBits, uint32_t(s.Parity + 1), aStopCodes[s.StopBits]};
    uint32_t aLast[5] = {};
    bool aSeen[5] = {};
    uint8_t flow = 0, dtr = 0, rts = 0;
    for (const Decoded::Sub& sub : d.Subs) {
        const uint8_t* b = sub.Payload;
        if (sub.At < from || sub.At >= to || sub.Length < 3 || sub.Length > LONGEST_ANSWER ||
            b[0] != TELOPT_COM_PORT || b[1] < CPO_SERVER + CPO_SET_BAUDRATE ||
            b[1] > CPO_SERVER + CPO_SET_CONTROL)
            continue;
        const int command = b[1] - CPO_SERVER;
        if (command == CPO_SET_CONTROL) {
            const uint8_t v = b[2];
            if ((v >= 1 && v <= 3) || (v >= 17 && v <= 19))
                flow = v;
            else if (v == 8 || v == 9)
                dtr = v;
            else if (v == 11 || v == 12)
                rts = v;
            continue;
        }
        if (command == CPO_SET_BAUDRATE && sub.Length < 6)
            continue;
        aSeen[command] = true;
        aLast[command] = command == CPO_SET_BAUDRATE
                             ? uint32_t(b[2]) << 24 | uint32_t(b[3]) << 16 | uint32_t(b[4]) << 8 | b[5]
                             : b[2];
    }
    for (int c = CPO_SET_BAUDRATE; c <= CPO_SET_STOPSIZE; ++c)
        Check(aSeen[c] && aLast[c] == aAsked[c]);
    Check(flow == 0 || flow == CPO_FLOW_NONE);
    Check(dtr == 0 || dtr == CPO_DTR_ON);
    Check(rts == 0 || rts == CPO_RTS_ON);
}

PortSettings SettingsFrom(uint8_t b) {
    return {b & 0x80 ? ODD_BAUD : 57600, 0, uint8_t(5 + (b & 3)), uint8_t(b >> 2 & 7), uint8_t(b >> 5 & 3)};
}

// Schedules the server's chunks; the last one again and again when amplified.
TQ330_ORACLE void ScheduleChunks(const uint8_t* p, size_t size, bool amplify) {
    uint64_t atUs = 0;
    const uint8_t* pLast = nullptr;
    size_t lastLength = 0;
    for (size_t at = 0; at + 2 <= size;) {
        atUs += p[at] * DELAY_UNIT_US;
        lastLength = std::min<size_t>(p[at + 1], size - at - 2);
        pLast = p + at + 2;
        fuzz_server::Send(pLast, lastLength, atUs);
        at += 2 + lastLength;
    }
    if (!amplify || lastLength == 0)
        return;
    static Bytes more(AMPLIFIED_SIZE);
    for (size_t at = 0; at < more.size(); at += lastLength)
        std::memcpy(more.data() + at, pLast, std::min(lastLength, more.size() - at));
    fuzz_server::Send(more.data(), more.size(), atUs);
}

// The data phase: the frame layer's discard, one frame written, then reads until the server has
// nothing more. Returns the data the reads got and the stream bytes taken before the first read.
Bytes RunDataPhase(ComHandle h, const Bytes& frame, bool* pWritten, size_t* pDataFrom) {
    COM_NetDiscardInput(h);
    *pDataFrom = fuzz_server::Taken();
    const ComIo written = COM_NetWrite(h, frame.data(), static_cast<uint32_t>(frame.size()));
    *pWritten = written == COM_IO_OK;
    // Only a server that stopped reading or closed the connection fails the write.
    Check(*pWritten != (fuzz_server::Stalled() || fuzz_server::Closed()));
    Bytes got;
    const ComTimeouts timeouts{0, 0, READ_TIMEOUT_MS, 0, 0};
    for (size_t reads = 0;; ++reads) {
        Check(reads < 100000);
        uint8_t acData[512];
        const uint32_t want = aWants[reads % std::size(aWants)];
        uint32_t n = 0;
        const uint64_t begun = fuzz_server::NowUs();
        const ComIo io = COM_NetRead(h, acData, want, timeouts, &n);
        const uint64_t took = fuzz_server::NowUs() - begun;
        Check(n <= want);
        got.insert(got.end(), acData, acData + n);
        if (io == COM_IO_GONE)
            break;
        Check(io == COM_IO_OK);
        Check(took <= READ_TIMEOUT_MS * 1000 + ROUNDING_US);
        if (n < want) {
            Check(took >= READ_TIMEOUT_MS * 1000); // no inter-byte timeout: never back early
            if (fuzz_server::Exhausted())
                break;
        }
    }
    return got;
}

} // namespace

// The port table of the fuzzed process: one network port.
const char* COM_OsPortDevice(int) {
    return acPortName;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size) {
    if (size < 3 || size < 3u + pData[2])
        return 0;
    const uint8_t flags = pData[0];
    const bool raw = flags & 1;
    const PortSettings settings = SettingsFrom(pData[1]);
    Bytes frame;
    do
        frame.insert(frame.end(), pData + 3, pData + 3 + pData[2]);
    while (flags & 4 && pData[2] != 0 && frame.size() < LONG_FRAME);

    fuzz_server::Reset();
    ScheduleChunks(pData + 3 + pData[2], size - 3 - pData[2], (flags & 0xE0) == 0xE0);
    if (flags & 2)
        fuzz_server::CloseAfterLast();
    if (flags & 8)
        fuzz_server::StopReadingAfter(flags >> 4 & 3);
    std::snprintf(acPortName, sizeof acPortName, "%s://fuzz.invalid:2217", raw ? "tcp" : "rfc2217");

    const ComHandle h = COM_NetOpen(0);
    char acProblem[256];
    if (h == COM_NO_HANDLE) {
        Check(fuzz_server::Stalled()); // the fake always accepts; only the requests can fail
        COM_NetProblem(acProblem, sizeof acProblem);
        Check(acProblem[0] != '\0');
        return 0;
    }
    const uint64_t begun = fuzz_server::NowUs();
    const bool lineSet = COM_NetSetLine(h, settings);
    const uint64_t took = fuzz_server::NowUs() - begun;
    Check(took <= SETUP_US + ROUNDING_US + (fuzz_server::Stalled() ? STALL_US : 0));
    COM_NetProblem(acProblem, sizeof acProblem);
    Check(lineSet == (acProblem[0] == '\0'));
    const size_t setupEnd = fuzz_server::Taken();
    const Bytes& stream = fuzz_server::Stream();
    static Decoded server;
    if (!raw)
        Decode(stream, server);

    bool written = false;
    size_t dataFrom = 0;
    if (lineSet) {
        Check(!raw || setupEnd == 0);
        if (!raw) {
            // The set-up begins with SET-BAUDRATE; answers from before it were forgotten.
            const uint8_t aBegin[] = {TELNET_IAC, TELNET_SB, TELOPT_COM_PORT, CPO_SET_BAUDRATE};
            const fuzz_server::Write* pSetup = nullptr;
            for (const fuzz_server::Write& w : fuzz_server::Writes())
                if (!pSetup && fuzz_server::Received().size() >= w.Offset + 4 &&
                    std::memcmp(fuzz_server::Received().data() + w.Offset, aBegin, 4) == 0)
                    pSetup = &w;
            Check(pSetup != nullptr);
            CheckConfirmed(server, pSetup->TakenBefore, setupEnd, settings);
        }
        const Bytes got = RunDataPhase(h, frame, &written, &dataFrom);
        const Bytes expected =
            raw ? Bytes(stream.begin() + long(dataFrom), stream.begin() + long(fuzz_server::Taken()))
                : DataBetween(server, dataFrom, fuzz_server::Taken());
        Check(got == expected);
        Check(fuzz_server::Stalled() || fuzz_server::Taken() == stream.size());
    }
    // The client's own bytes: its requests and replies whole, and no data but the frame.
    const Bytes& sent = fuzz_server::Received();
    if (raw) {
        Check(IsPrefix(sent, frame) && (!written || sent == frame));
    } else {
        static Decoded client;
        Decode(sent, client);
        const Bytes data = DataBetween(client, 0, sent.size());
        Check(client.Whole);
        Check(IsPrefix(data, frame) && (!written || data == frame));
    }
    COM_NetClose(h);
    return 0;
}
