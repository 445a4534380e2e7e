// The codec of network ports without a socket: port names, 0xFF doubling, Telnet commands kept out
// of the data however the reads split them, the option negotiation, and the judgement of a
// server's answers to the line set-up. The server bytes are those Debian's ser2net sends.
#include "link/com_net.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const PortSettings LINE_8O1{57600, 0, 8, 1, 0};

// What ser2net 4.3 sends on a new connection to a Telnet RFC 2217 accepter: WILL SGA, DO SGA, WILL
// ECHO, DONT ECHO, DO BINARY, WILL BINARY, DO COM-PORT-OPTION.
const Bytes SER2NET_GREETING = {0xFF, 0xFB, 0x03, 0xFF, 0xFD, 0x03, 0xFF, 0xFB, 0x01, 0xFF, 0xFE,
                                0x01, 0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x2C};

Bytes Answer(uint8_t command, Bytes value) {
    Bytes b = {TELNET_IAC, TELNET_SB, TELOPT_COM_PORT, static_cast<uint8_t>(command + CPO_SERVER)};
    for (uint8_t v : value) {
        b.push_back(v);
        if (v == TELNET_IAC)
            b.push_back(v);
    }
    b.push_back(TELNET_IAC);
    b.push_back(TELNET_SE);
    return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Feeds the bytes in pieces of `piece` bytes; returns the data.
Bytes Receive(TelnetState& t, const Bytes& in, size_t piece) {
    Bytes data(in.size());
    size_t got = 0;
    for (size_t at = 0; at < in.size(); at += piece)
        got += Telnet_Receive(t, in.data() + at, std::min(piece, in.size() - at), data.data() + got);
    data.resize(got);
    return data;
}

Bytes Owed(TelnetState& t) {
    Bytes b(sizeof t.acOwed);
    b.resize(Telnet_TakeOwed(t, b.data()));
    return b;
}

TelnetState Started() {
    TelnetState t;
    uint8_t acRequests[16];
    Telnet_Start(t, true, acRequests);
    return t;
}

struct Verdict {
    SetupResult Result;
    std::string Why, Warning;
};
Verdict Check(const TelnetState& t, bool final, const PortSettings& s = LINE_8O1) {
    char acWhy[256], acWarning[256];
    SetupResult r = Rfc2217_CheckSetup(t, s, final, acWhy, sizeof acWhy, acWarning, sizeof acWarning);
    return {r, acWhy, acWarning};
}

TEST(NetName, ReadsBothKindsAndSaysWhatIsWrongWithAFaultyOne) {
    NetAddress a;
    char acWhy[256] = {};
    ASSERT_TRUE(COM_ParseNetName("rfc2217://127.0.0.1:4000", &a, acWhy, sizeof acWhy));
    EXPECT_EQ(a.Kind, NET_RFC2217);
    EXPECT_STREQ(a.acHost, "127.0.0.1");
    EXPECT_EQ(a.Port, 4000);
    ASSERT_TRUE(COM_ParseNetName("TCP://[::1]:65535", &a, acWhy, sizeof acWhy));
    EXPECT_EQ(a.Kind, NET_TCP);
    EXPECT_STREQ(a.acHost, "::1");
    EXPECT_EQ(a.Port, 65535);
    ASSERT_TRUE(COM_ParseNetName("/dev/ttyUSB0", &a, acWhy, sizeof acWhy));
    EXPECT_EQ(a.Kind, NET_NONE);

    const struct {
        const char* Name;
        const char* Reason;
    } aBad[] = {
        {"rfc2217://host", "no port number"},
        {"rfc2217://host:", "no port number"},
        {"rfc2217://:4000", "no host"},
        {"tcp://host:0", "port number not in 1 to 65535"},
        {"tcp://host:65536", "port number not in 1 to 65535"},
        {"tcp://host:99999999999999999999", "port number not in 1 to 65535"},
        {"tcp://host:http", "the port is not a number"},
        {"tcp://host:80/x", "unexpected text after the port number"},
        {"tcp://ho st:80", "bad host name"},
        {"tcp://[::1:80", "no closing bracket"},
        {"telnet://host:23", "unknown kind of port"},
    };
    for (const auto& bad : aBad) {
        EXPECT_FALSE(COM_ParseNetName(bad.Name, &a, acWhy, sizeof acWhy)) << bad.Name;
        EXPECT_NE(std::string(acWhy).find(bad.Reason), std::string::npos) << bad.Name << ": " << acWhy;
        EXPECT_EQ(std::string(acWhy).rfind(bad.Name, 0), 0u) << acWhy; // names what the user wrote
    }
}

// TQ330_PORTS separates its entries by colons, which a network name holds too.
TEST(NetName, TakesANetworkNameWholeOutOfAColonSeparatedList) {
    EXPECT_EQ(COM_NetNameLength("rfc2217://127.0.0.1:4000:/dev/pts/3"), 24u);
    EXPECT_EQ(COM_NetNameLength("tcp://[::1]:7:tcp://h:8"), 13u);
    EXPECT_EQ(COM_NetNameLength("tcp://host"), 10u);
    EXPECT_EQ(COM_NetNameLength("/dev/pts/3:tcp://h:1"), 0u);
    std::vector<std::string> list =
        COM_ParsePortList("/dev/pts/3:rfc2217://127.0.0.1:4000:tcp://[::1]:7:/dev/ttyS0");
    EXPECT_EQ(list, (std::vector<std::string>{"/dev/pts/3", "rfc2217://127.0.0.1:4000", "tcp://[::1]:7",
                                              "/dev/ttyS0"}));
}

// Every byte value, 0xFF doubled on the way out, one byte again on the way in, however the reads
// cut the stream (a doubled 0xFF split between two reads included).
TEST(Telnet, EveryByteSurvivesTheEscapeAndAnyCutOfTheStream) {
    Bytes all(512);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<uint8_t>(i < 256 ? i : 0xFF); // a run of 0xFF at the end
    Bytes wire(2 * all.size());
    wire.resize(Telnet_Escape(all.data(), all.size(), wire.data()));
    EXPECT_EQ(wire.size(), all.size() + 257);
    for (size_t piece : {1, 2, 3, 7, 256, 2000}) {
        TelnetState t = Started();
        EXPECT_EQ(Receive(t, wire, piece), all) << "pieces of " << piece;
        EXPECT_TRUE(Owed(t).empty());
    }
}

// Commands the server sends between data bytes: a modem-state notification, NOP, GA, a negotiation
// and a subnegotiation too long to keep; none of their bytes may reach the data.
TEST(Telnet, CommandsInsideTheDataAreTakenOutOfIt) {
    Bytes notify = Answer(7, {0xFF}); // NOTIFY-MODEMSTATE with a doubled 0xFF
    Bytes longSub = {TELNET_IAC, TELNET_SB, TELOPT_COM_PORT, 100};
    for (int i = 0; i < 40; ++i)
        longSub.push_back('S'); // a SIGNATURE text
    longSub = longSub + Bytes{TELNET_IAC, TELNET_SE};
    Bytes frame = {0x68, 0x03, 0x03, 0x68, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x16};
    Bytes wire = Bytes{0x68} + notify + Bytes{0x03, TELNET_IAC, TELNET_NOP, 0x03, 0x68, TELNET_IAC, 249} +
                 Bytes{0x00, 0x00, TELNET_IAC, TELNET_DO, 24, 0x00} + longSub +
                 Bytes{TELNET_IAC, TELNET_IAC, TELNET_IAC, TELNET_IAC, 0x16};
    for (size_t piece : {1, 2, 5, 100}) {
        TelnetState t = Started();
        EXPECT_EQ(Receive(t, wire, piece), frame) << "pieces of " << piece;
        EXPECT_EQ(Owed(t), (Bytes{TELNET_IAC, TELNET_WONT, 24})) << "terminal type refused";
    }
}

// Against ser2net's greeting: what we asked for is agreed without a reply, the echo it offers is
// refused once, and a request repeated for an option already agreed costs no reply (no loop).
TEST(Telnet, NegotiatesWithSer2netsGreetingAndNeverAnswersInALoop) {
    TelnetState t;
    uint8_t acRequests[16];
    size_t n = Telnet_Start(t, true, acRequests);
    EXPECT_EQ(Bytes(acRequests, acRequests + n), (Bytes{0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x03,
                                                        0xFF, 0xFD, 0x03, 0xFF, 0xFB, 0x2C}));
    EXPECT_TRUE(Receive(t, SER2NET_GREETING, 1).empty());
    EXPECT_EQ(Owed(t), (Bytes{TELNET_IAC, TELNET_DONT, TELOPT_ECHO}));
    for (uint8_t option : {TELOPT_BINARY, TELOPT_SGA}) {
        EXPECT_EQ(t.aUs[option], TN_ON) << int(option);
        EXPECT_EQ(t.aHim[option], TN_ON) << int(option);
    }
    EXPECT_EQ(t.aUs[TELOPT_COM_PORT], TN_ON);
    // ser2net repeats DO SGA after our WILL SGA; and the same greeting again changes nothing.
    Receive(t, Bytes{TELNET_IAC, TELNET_DO, TELOPT_SGA} + SER2NET_GREETING, 4);
    EXPECT_TRUE(Owed(t).empty());

    // A server that switches an agreed option off is acknowledged once; BINARY off fails the set-up.
    Receive(t, {TELNET_IAC, TELNET_WONT, TELOPT_BINARY, TELNET_IAC, TELNET_WONT, TELOPT_BINARY}, 1);
    EXPECT_EQ(Owed(t), (Bytes{TELNET_IAC, TELNET_DONT, TELOPT_BINARY}));
    EXPECT_EQ(Check(t, false).Result, SETUP_FAILED);
    EXPECT_NE(Check(t, false).Why.find("binary"), std::string::npos);

    TelnetState refused = Started();
    Receive(refused, {TELNET_IAC, TELNET_DONT, TELOPT_COM_PORT}, 1);
    EXPECT_TRUE(Owed(refused).empty()); // a refusal of our request is not answered
    EXPECT_EQ(refused.aUs[TELOPT_COM_PORT], TN_REFUSED);
    EXPECT_NE(Check(refused, false).Why.find("refused COM-PORT-OPTION"), std::string::npos);
}

TEST(Rfc2217, AsksForTheLineAndPurgesInTheWireFormat) {
    TelnetState t = Started();
    uint8_t acSetup[80];
    size_t n = 0;
    ASSERT_TRUE(Rfc2217_BeginSetup(t, LINE_8O1, acSetup, &n));
    const Bytes expected = {0xFF, 0xFA, 0x2C, 1, 0x00, 0x00, 0xE1, 0x00, 0xFF, 0xF0, // 57600
                            0xFF, 0xFA, 0x2C, 2, 8,    0xFF, 0xF0,                   // 8 data bits
                            0xFF, 0xFA, 0x2C, 3, 2,    0xFF, 0xF0,                   // odd
                            0xFF, 0xFA, 0x2C, 4, 1,    0xFF, 0xF0,                   // one stop bit
                            0xFF, 0xFA, 0x2C, 5, 1,    0xFF, 0xF0,                   // no flow control
                            0xFF, 0xFA, 0x2C, 5, 8,    0xFF, 0xF0,                   // DTR on
                            0xFF, 0xFA, 0x2C, 5, 11,   0xFF, 0xF0};                  // RTS on
    EXPECT_EQ(Bytes(acSetup, acSetup + n), expected);
    // A baud rate with a 0xFF byte is doubled inside the subnegotiation.
    ASSERT_TRUE(Rfc2217_BeginSetup(t, PortSettings{0x0001FF00, 0, 7, 0, 2}, acSetup, &n));
    EXPECT_EQ(Bytes(acSetup, acSetup + 11),
              (Bytes{0xFF, 0xFA, 0x2C, 1, 0x00, 0x01, 0xFF, 0xFF, 0x00, 0xFF, 0xF0}));
    EXPECT_FALSE(Rfc2217_BeginSetup(t, PortSettings{57600, 0, 9, 1, 0}, acSetup, &n));
    // Settings without a code fail the judgement with that reason, whatever the server said so far.
    EXPECT_EQ(Check(Started(), false, PortSettings{57600, 0, 8, 5, 0}).Why,
              "COM-PORT-OPTION has no code for these line settings");
    n = Rfc2217_Purge(acSetup);
    EXPECT_EQ(Bytes(acSetup, acSetup + n), (Bytes{0xFF, 0xFA, 0x2C, 12, 1, 0xFF, 0xF0}));
}

// ser2net on a pseudo-terminal confirms the line and "no flow control" but never DTR and RTS: a
// warning once the time for answers is up, not a failure.
TEST(Rfc2217, TheLineConfirmedWithoutModemLinesIsAWarningNotAFailure) {
    TelnetState t = Started();
    uint8_t acSetup[80];
    size_t n = 0;
    ASSERT_TRUE(Rfc2217_BeginSetup(t, LINE_8O1, acSetup, &n));
    Receive(t, SER2NET_GREETING, 64);
    EXPECT_EQ(Check(t, false).Result, SETUP_PENDING);
    Bytes answers = Answer(1, {0x00, 0x00, 0xE1, 0x00}) + Answer(12, {1}) + Answer(2, {8}) + Answer(3, {2});
    EXPECT_TRUE(Receive(t, answers, 3).empty());
    EXPECT_EQ(Check(t, false).Result, SETUP_PENDING);
    EXPECT_EQ(Check(t, true).Why, "the server did not confirm the stop bits");
    Receive(t, Answer(4, {1}) + Answer(5, {1}), 2);
    EXPECT_EQ(Check(t, false).Result, SETUP_LINE_SET);
    Verdict v = Check(t, true);
    EXPECT_EQ(v.Result, SETUP_DONE);
    EXPECT_EQ(v.Warning, "the server did not confirm DTR on, RTS on (SET-CONTROL)");
    Receive(t, Answer(5, {8}) + Answer(5, {11}), 1);
    v = Check(t, false);
    EXPECT_EQ(v.Result, SETUP_DONE);
    EXPECT_EQ(v.Warning, "");
}

// A server that applied other values: the set-up fails with what the server set and what was
// asked, for the line and for SET-CONTROL alike; a baud rate holding 0xFF bytes is read whole.
TEST(Rfc2217, AServerThatAppliedOtherValuesFailsTheSetupWithThemNamed) {
    TelnetState t = Started();
    uint8_t acSetup[80];
    size_t n = 0;
    ASSERT_TRUE(Rfc2217_BeginSetup(t, LINE_8O1, acSetup, &n));
    Receive(t, Answer(1, {0x00, 0x00, 0x25, 0x80}) + Answer(2, {8}) + Answer(3, {1}) + Answer(4, {1}), 5);
    Verdict v = Check(t, false);
    EXPECT_EQ(v.Result, SETUP_FAILED);
    EXPECT_EQ(v.Why, "the server set 9600 baud, 8 data bits, no parity, 1 stop bit, not 57600 baud, 8 data "
                     "bits, odd parity, 1 stop bit");

    // The parity alone (a line left at even): as wrong as any other value.
    ASSERT_TRUE(Rfc2217_BeginSetup(t, LINE_8O1, acSetup, &n));
    Receive(t, Answer(1, {0x00, 0x00, 0xE1, 0x00}) + Answer(2, {8}) + Answer(3, {3}) + Answer(4, {1}), 4);
    v = Check(t, true);
    EXPECT_EQ(v.Result, SETUP_FAILED);
    EXPECT_EQ(v.Why, "the server set 57600 baud, 8 data bits, even parity, 1 stop bit, not 57600 baud, 8 "
                     "data bits, odd parity, 1 stop bit");

    ASSERT_TRUE(Rfc2217_BeginSetup(t, LINE_8O1, acSetup, &n));
    Receive(t, Answer(1, {0x00, 0xFF, 0xFF, 0x00}) + Answer(2, {8}) + Answer(3, {2}) + Answer(4, {1}), 1);
    EXPECT_EQ(t.aAnswer[CPO_SET_BAUDRATE], 0x00FFFF00u);
    EXPECT_EQ(Check(t, false).Result, SETUP_FAILED);

    ASSERT_TRUE(Rfc2217_BeginSetup(t, LINE_8O1, acSetup, &n));
    Receive(t,
            Answer(1, {0x00, 0x00, 0xE1, 0x00}) + Answer(2, {8}) + Answer(3, {2}) + Answer(4, {1}) +
                Answer(5, {3}) + Answer(5, {9}),
            7);
    v = Check(t, true);
    EXPECT_EQ(v.Result, SETUP_FAILED);
    EXPECT_NE(v.Why.find("hardware flow control, DTR off, not 57600"), std::string::npos) << v.Why;
}

} // namespace
