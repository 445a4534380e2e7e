// COM-PORT-OPTION (RFC 2217): the line set-up we ask of the server, and the judgement of what it
// answered. The server answers every setting with the value it applied, so a server that took
// other values is caught here, by name, before a single frame is lost to a wrong line.
#include "link/com_net.h"

#include <cstdio>
#include <cstring>

namespace {

// Our parity codes (0 none, 1 odd, 2 even, 3 mark, 4 space) are COM-PORT-OPTION's minus one.
bool ParityCode(uint8_t parity, uint8_t* pCode) {
    if (parity > 4)
        return false;
    *pCode = static_cast<uint8_t>(parity + 1);
    return true;
}

// Our stop bits: 0 one, 1 one and a half, 2 two; COM-PORT-OPTION: 1 one, 2 two, 3 one and a half.
bool StopCode(uint8_t stopBits, uint8_t* pCode) {
    static const uint8_t aCodes[] = {1, 3, 2};
    if (stopBits > 2)
        return false;
    *pCode = aCodes[stopBits];
    return true;
}

size_t PutCommand(uint8_t* pOut, uint8_t command, const uint8_t* pValue, size_t length) {
    size_t n = 0;
    pOut[n++] = TELNET_IAC;
    pOut[n++] = TELNET_SB;
    pOut[n++] = TELOPT_COM_PORT;
    pOut[n++] = command;
    n += Telnet_Escape(pValue, length, pOut + n); // a baud rate may hold 0xFF bytes
    pOut[n++] = TELNET_IAC;
    pOut[n++] = TELNET_SE;
    return n;
}

const char* ParityName(uint32_t code) {
    static const char* const aNames[] = {"no parity", "odd parity", "even parity", "mark parity",
                                         "space parity"};
    return code >= 1 && code <= 5 ? aNames[code - 1] : "unknown parity";
}

const char* StopName(uint32_t code) {
    static const char* const aNames[] = {"1 stop bit", "2 stop bits", "1.5 stop bits"};
    return code >= 1 && code <= 3 ? aNames[code - 1] : "unknown stop bits";
}

const char* ControlName(uint8_t value) {
    switch (value) {
    case 1:
        return "no flow control";
    case 2:
        return "XON/XOFF flow control";
    case 3:
    case 17:
    case 18:
    case 19:
        return "hardware flow control";
    case 8:
        return "DTR on";
    case 9:
        return "DTR off";
    case 11:
        return "RTS on";
    default:
        return "RTS off";
    }
}

void DescribeLine(char* acText, size_t size, uint32_t baud, uint32_t dataBits, uint32_t parity,
                  uint32_t stop) {
    std::snprintf(acText, size, "%u baud, %u data bits, %s, %s", static_cast<unsigned>(baud),
                  static_cast<unsigned>(dataBits), ParityName(parity), StopName(stop));
}

void Append(char* acText, size_t size, const char* pPart) {
    size_t used = std::strlen(acText);
    if (used + 1 < size)
        std::snprintf(acText + used, size - used, "%s%s", used == 0 ? "" : ", ", pPart);
}

} // namespace

bool Rfc2217_BeginSetup(TelnetState& t, const PortSettings& s, uint8_t* pOut, size_t* pLength) {
    uint8_t parity = 0;
    uint8_t stop = 0;
    if (s.DataBits < 5 || s.DataBits > 8 || s.BaudRate == 0 || !ParityCode(s.Parity, &parity) ||
        !StopCode(s.StopBits, &stop))
        return false;
    t.AnsweredMask = 0;
    std::memset(t.aAnswer, 0, sizeof t.aAnswer);
    t.FlowAnswer = t.DtrAnswer = t.RtsAnswer = 0;
    const uint8_t acBaud[4] = {static_cast<uint8_t>(s.BaudRate >> 24), static_cast<uint8_t>(s.BaudRate >> 16),
                               static_cast<uint8_t>(s.BaudRate >> 8), static_cast<uint8_t>(s.BaudRate)};
    size_t n = PutCommand(pOut, CPO_SET_BAUDRATE, acBaud, sizeof acBaud);
    n += PutCommand(pOut + n, CPO_SET_DATASIZE, &s.DataBits, 1);
    n += PutCommand(pOut + n, CPO_SET_PARITY, &parity, 1);
    n += PutCommand(pOut + n, CPO_SET_STOPSIZE, &stop, 1);
    for (uint8_t control : {CPO_FLOW_NONE, CPO_DTR_ON, CPO_RTS_ON})
        n += PutCommand(pOut + n, CPO_SET_CONTROL, &control, 1);
    *pLength = n;
    return true;
}

size_t Rfc2217_Purge(uint8_t* pOut) {
    const uint8_t which = CPO_PURGE_RECEIVE;
    return PutCommand(pOut, CPO_PURGE_DATA, &which, 1);
}

SetupResult Rfc2217_CheckSetup(const TelnetState& t, const PortSettings& s, bool final, char* acWhy,
                               size_t whySize, char* acWarning, size_t warningSize) {
    acWhy[0] = '\0';
    acWarning[0] = '\0';
    if (t.aUs[TELOPT_COM_PORT] == TN_REFUSED) {
        std::snprintf(acWhy, whySize,
                      "the server refused COM-PORT-OPTION (RFC 2217): it cannot set the line");
        return SETUP_FAILED;
    }
    if (t.aUs[TELOPT_BINARY] == TN_REFUSED || t.aHim[TELOPT_BINARY] == TN_REFUSED) {
        std::snprintf(acWhy, whySize, "the server refused binary transmission");
        return SETUP_FAILED;
    }
    uint8_t parity = 0;
    uint8_t stop = 0;
    if (!ParityCode(s.Parity, &parity) || !StopCode(s.StopBits, &stop)) {
        std::snprintf(acWhy, whySize, "COM-PORT-OPTION has no code for these line settings");
        return SETUP_FAILED;
    }
    const uint32_t aAsked[] = {0, s.BaudRate, s.DataBits, parity, stop};
    const char* const aNames[] = {"", "the baud rate", "the data bits", "the parity", "the stop bits"};
    bool allAnswered = true;
    bool differs = false;
    char acMissing[96] = {};
    for (uint8_t c = CPO_SET_BAUDRATE; c <= CPO_SET_STOPSIZE; ++c) {
        if ((t.AnsweredMask & 1u << c) == 0) {
            allAnswered = false;
            Append(acMissing, sizeof acMissing, aNames[c]);
        } else if (t.aAnswer[c] != aAsked[c]) {
            differs = true;
        }
    }
    if (!allAnswered && !final)
        return SETUP_PENDING;
    if (!allAnswered) {
        std::snprintf(acWhy, whySize, "the server did not confirm %s", acMissing);
        return SETUP_FAILED;
    }
    // Each SET-CONTROL answer is the state its group is in now.
    const uint8_t aControlAsked[] = {CPO_FLOW_NONE, CPO_DTR_ON, CPO_RTS_ON};
    const uint8_t aControlGot[] = {t.FlowAnswer, t.DtrAnswer, t.RtsAnswer};
    char acControl[96] = {};
    char acUnconfirmed[64] = {};
    for (size_t i = 0; i < 3; ++i) {
        if (aControlGot[i] == 0) {
            Append(acUnconfirmed, sizeof acUnconfirmed, ControlName(aControlAsked[i]));
        } else if (aControlGot[i] != aControlAsked[i]) {
            differs = true;
            Append(acControl, sizeof acControl, ControlName(aControlGot[i]));
        }
    }
    if (differs) {
        char acGot[96];
        char acAsked[96];
        DescribeLine(acGot, sizeof acGot, t.aAnswer[1], t.aAnswer[2], t.aAnswer[3], t.aAnswer[4]);
        if (acControl[0] != '\0')
            Append(acGot, sizeof acGot, acControl);
        DescribeLine(acAsked, sizeof acAsked, s.BaudRate, s.DataBits, parity, stop);
        std::snprintf(acWhy, whySize, "the server set %s, not %s", acGot, acAsked);
        return SETUP_FAILED;
    }
    if (acUnconfirmed[0] != '\0') {
        if (!final)
            return SETUP_LINE_SET;
        std::snprintf(acWarning, warningSize, "the server did not confirm %s (SET-CONTROL)", acUnconfirmed);
    }
    return SETUP_DONE;
}
