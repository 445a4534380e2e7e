// The Telnet layer of an RFC 2217 port: our option requests, the negotiation as the server answers
// or asks, and the decoder that keeps Telnet commands out of the data. Pure: bytes in, bytes out.
#include "link/com_net.h"

#include <cstring>

namespace {

enum RxState : uint8_t { RX_DATA, RX_IAC, RX_VERB, RX_SUB, RX_SUB_IAC };

// BINARY both ways, so that no byte is translated; SUPPRESS-GO-AHEAD both ways, so that the server
// sends no GA after its output; COM-PORT-OPTION on our side (the server takes our line commands).
bool WantUs(uint8_t option) {
    return option == TELOPT_BINARY || option == TELOPT_SGA || option == TELOPT_COM_PORT;
}
bool WantHim(uint8_t option) {
    return option == TELOPT_BINARY || option == TELOPT_SGA;
}

void Owe(TelnetState& t, uint8_t verb, uint8_t option) {
    // A server that floods us with requests loses the replies that do not fit; the buffer is
    // emptied at every write.
    if (t.OwedLength + 3 > sizeof t.acOwed)
        return;
    t.acOwed[t.OwedLength++] = TELNET_IAC;
    t.acOwed[t.OwedLength++] = verb;
    t.acOwed[t.OwedLength++] = option;
}

// One negotiation command of the server. A reply goes out only where our state changes, so two
// sides that both follow this rule can never answer each other in a loop (RFC 854, 1143).
void Negotiate(TelnetState& t, uint8_t verb, uint8_t option) {
    uint8_t& us = t.aUs[option];
    uint8_t& him = t.aHim[option];
    switch (verb) {
    case TELNET_DO:
        if (WantUs(option)) {
            if (us != TN_ASKED && us != TN_ON)
                Owe(t, TELNET_WILL, option);
            us = TN_ON;
        } else if (us == TN_OFF) {
            Owe(t, TELNET_WONT, option);
            us = TN_REFUSED;
        }
        break;
    case TELNET_DONT:
        if (us == TN_ON)
            Owe(t, TELNET_WONT, option);
        if (us == TN_ON || us == TN_ASKED)
            us = TN_REFUSED;
        break;
    case TELNET_WILL:
        if (WantHim(option)) {
            if (him != TN_ASKED && him != TN_ON)
                Owe(t, TELNET_DO, option);
            him = TN_ON;
        } else if (him == TN_OFF) {
            Owe(t, TELNET_DONT, option); // an echo, for one: we want the device's bytes only
            him = TN_REFUSED;
        }
        break;
    default: // WONT
        if (him == TN_ON)
            Owe(t, TELNET_DONT, option);
        if (him == TN_ON || him == TN_ASKED)
            him = TN_REFUSED;
        break;
    }
}

// The server's answer to one of our COM-PORT-OPTION commands: IAC SB 44 <command + 100> <value>
// IAC SE. Notifications (line and modem state) and anything we did not ask for are dropped.
void TakeSubnegotiation(TelnetState& t) {
    if (t.SubOverflow || t.SubLength < 3 || t.acSub[0] != TELOPT_COM_PORT || t.acSub[1] < CPO_SERVER)
        return;
    const uint8_t command = static_cast<uint8_t>(t.acSub[1] - CPO_SERVER);
    const uint8_t* pValue = t.acSub + 2;
    const size_t length = t.SubLength - 2u;
    if (command >= CPO_COMMANDS)
        return;
    uint32_t value = pValue[0];
    if (command == CPO_SET_BAUDRATE) {
        if (length < 4)
            return;
        value = uint32_t(pValue[0]) << 24 | uint32_t(pValue[1]) << 16 | uint32_t(pValue[2]) << 8 | pValue[3];
    }
    t.AnsweredMask = static_cast<uint16_t>(t.AnsweredMask | 1u << command);
    t.aAnswer[command] = value;
    if (command != CPO_SET_CONTROL)
        return;
    // Each SET-CONTROL request is answered with the new state of its group.
    if ((value >= 1 && value <= 3) || (value >= 17 && value <= 19))
        t.FlowAnswer = static_cast<uint8_t>(value);
    else if (value == 8 || value == 9)
        t.DtrAnswer = static_cast<uint8_t>(value);
    else if (value == 11 || value == 12)
        t.RtsAnswer = static_cast<uint8_t>(value);
}

void AddSubByte(TelnetState& t, uint8_t byte) {
    if (t.SubLength < sizeof t.acSub)
        t.acSub[t.SubLength++] = byte;
    else
        t.SubOverflow = true;
}

} // namespace

size_t Telnet_Start(TelnetState& t, bool negotiate, uint8_t* pOut) {
    std::memset(&t, 0, sizeof t);
    if (!negotiate)
        return 0;
    static const uint8_t aRequests[][2] = {{TELNET_WILL, TELOPT_BINARY},
                                           {TELNET_DO, TELOPT_BINARY},
                                           {TELNET_WILL, TELOPT_SGA},
                                           {TELNET_DO, TELOPT_SGA},
                                           {TELNET_WILL, TELOPT_COM_PORT}};
    size_t n = 0;
    for (const auto& r : aRequests) {
        pOut[n++] = TELNET_IAC;
        pOut[n++] = r[0];
        pOut[n++] = r[1];
        (r[0] == TELNET_WILL ? t.aUs : t.aHim)[r[1]] = TN_ASKED;
    }
    return n;
}

size_t Telnet_Receive(TelnetState& t, const uint8_t* pIn, size_t n, uint8_t* pData) {
    size_t out = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = pIn[i];
        switch (t.RxState) {
        case RX_DATA:
            if (b == TELNET_IAC)
                t.RxState = RX_IAC;
            else
                pData[out++] = b;
            break;
        case RX_IAC:
            t.RxState = RX_DATA;
            if (b == TELNET_IAC) {
                pData[out++] = b; // a doubled 0xFF is one data byte
            } else if (b >= TELNET_WILL) {
                t.Verb = b;
                t.RxState = RX_VERB;
            } else if (b == TELNET_SB) {
                t.SubLength = 0;
                t.SubOverflow = false;
                t.RxState = RX_SUB;
            } // NOP, GA, DM, a stray SE and the rest carry no data
            break;
        case RX_VERB:
            Negotiate(t, t.Verb, b);
            t.RxState = RX_DATA;
            break;
        case RX_SUB:
            if (b == TELNET_IAC)
                t.RxState = RX_SUB_IAC;
            else
                AddSubByte(t, b);
            break;
        default: // RX_SUB_IAC
            if (b == TELNET_IAC) {
                AddSubByte(t, b);
                t.RxState = RX_SUB;
            } else if (b == TELNET_SE) {
                TakeSubnegotiation(t);
                t.RxState = RX_DATA;
            } else {
                // A command inside a subnegotiation: the subnegotiation is broken off and the
                // command taken as if it stood alone.
                t.RxState = RX_IAC;
                --i;
            }
            break;
        }
    }
    return out;
}

size_t Telnet_Escape(const uint8_t* pIn, size_t n, uint8_t* pOut) {
    size_t out = 0;
    for (size_t i = 0; i < n; ++i) {
        pOut[out++] = pIn[i];
        if (pIn[i] == TELNET_IAC)
            pOut[out++] = TELNET_IAC;
    }
    return out;
}

size_t Telnet_TakeOwed(TelnetState& t, uint8_t* pOut) {
    size_t n = t.OwedLength;
    std::memcpy(pOut, t.acOwed, n);
    t.OwedLength = 0;
    return n;
}
