// The COM module on a network port, against a server the test plays on loopback: the read deadlines
// kept exactly, Telnet kept out of the data and 0xFF doubled, a frame and its purge in one write, a
// server that set other values refused like a line configuration, a closed connection a gone port
// that is connected again quietly. The real ser2net is met by the command-line tests.
#include "fakes/fake_dialog.h"
#include "link/com.h"
#include "pty.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// ser2net's greeting: WILL SGA, DO SGA, WILL ECHO, DONT ECHO, DO BINARY, WILL BINARY, DO COM-PORT.
const Bytes GREETING = {0xFF, 0xFB, 0x03, 0xFF, 0xFD, 0x03, 0xFF, 0xFB, 0x01, 0xFF, 0xFE,
                        0x01, 0xFF, 0xFD, 0x00, 0xFF, 0xFB, 0x00, 0xFF, 0xFD, 0x2C};

// A server on 127.0.0.1 that accepts one connection at a time.
struct Server {
    int Listen = -1;
    int Port = 0;
    int Conn = -1;

    void Start(int port = 0) {
        Listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(Listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        socklen_t length = sizeof a;
        ASSERT_EQ(bind(Listen, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(listen(Listen, 1), 0);
        getsockname(Listen, reinterpret_cast<sockaddr*>(&a), &length);
        Port = ntohs(a.sin_port);
    }
    void StopListening() {
        close(Listen);
        Listen = -1;
    }
    void Hangup() {
        close(Conn);
        Conn = -1;
    }
    ~Server() {
        if (Conn >= 0)
            close(Conn);
        if (Listen >= 0)
            close(Listen);
    }
    bool Accept() {
        pollfd p{Listen, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1)
            return false;
        Conn = accept4(Listen, nullptr, nullptr, SOCK_CLOEXEC);
        return Conn >= 0;
    }
    void Send(const Bytes& b) const {
        ASSERT_EQ(send(Conn, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size()));
    }
    // Whether the other end closed the connection within the time (what it sent meanwhile is dropped).
    bool Closed(Ms within) const {
        auto deadline = Clock::now() + within;
        for (;;) {
            auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
            pollfd p{Conn, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) != 1)
                return false;
            uint8_t acChunk[512];
            if (recv(Conn, acChunk, sizeof acChunk, 0) <= 0)
                return true;
        }
    }
    // What arrives within the time; stops early once `until` bytes are in.
    Bytes Receive(Ms within, size_t until = SIZE_MAX) const {
        Bytes got;
        auto deadline = Clock::now() + within;
        while (got.size() < until) {
            auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
            pollfd p{Conn, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) != 1)
                break;
            uint8_t acChunk[512];
            ssize_t n = recv(Conn, acChunk, sizeof acChunk, 0);
            if (n <= 0)
                break;
            got.insert(got.end(), acChunk, acChunk + n);
        }
        return got;
    }
};

// Plays an RFC 2217 server through the set-up: the greeting, then an answer to every COM-PORT-OPTION
// command it reads (SET-CONTROL DTR and RTS left unanswered, as ser2net does without modem lines),
// with the baud rate answered as `baud` and the parity as `parity` (its COM-PORT-OPTION code; 0:
// as asked).
void PlaySetup(Server& s, uint32_t baud, uint8_t parity = 0) {
    ASSERT_TRUE(s.Accept());
    s.Send(GREETING);
    Bytes in;
    auto deadline = Clock::now() + Ms(3000);
    size_t at = 0;
    bool purged = false;
    while (!purged && Clock::now() < deadline) {
        Bytes more = s.Receive(Ms(50));
        in.insert(in.end(), more.begin(), more.end());
        for (; at + 6 < in.size(); ++at) {
            if (in[at] != 0xFF || in[at + 1] != 0xFA || in[at + 2] != 0x2C)
                continue;
            uint8_t command = in[at + 3];
            Bytes answer = {0xFF, 0xFA, 0x2C, static_cast<uint8_t>(command + 100)};
            if (command == 1)
                answer.insert(answer.end(),
                              {uint8_t(baud >> 24), uint8_t(baud >> 16), uint8_t(baud >> 8), uint8_t(baud)});
            else
                answer.push_back(command == 3 && parity != 0 ? parity : in[at + 4]);
            answer.insert(answer.end(), {0xFF, 0xF0});
            if (command != 5 || in[at + 4] == 1)
                s.Send(answer);
            purged = command == 12;
        }
    }
}

class ComNet : public ::testing::Test {
  protected:
    void SetUp() override { fake_dialog::Reset(); }
    void TearDown() override {
        COM_ResetPortTable();
        if (peer.joinable())
            peer.join();
    }
    // Selects the network port as the dialog does, the server played on its own thread.
    void Select(const std::string& url, uint32_t baud = 57600, uint8_t parity = 0) {
        peer = std::thread([this, baud, parity] { PlaySetup(server, baud, parity); });
        Com_UsePorts({url});
        COM_ChangeSettings(Com_DialogSettings(0));
        peer.join();
    }
    std::vector<std::string> ErrorTexts() {
        std::vector<std::string> texts;
        for (const auto& e : fake_dialog::EventsOf("ErrorBox"))
            texts.push_back(e.text);
        return texts;
    }
    std::string Notes(bool warning) {
        char acProblem[256], acWarning[256];
        COM_GetPortNotes(acProblem, acWarning, sizeof acProblem);
        return warning ? acWarning : acProblem;
    }
    std::string Url(const char* scheme) {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(server.Port);
    }
    Server server;
    std::thread peer;
};

TEST_F(ComNet, ReadsKeepTheirDeadlineAndGetTheDataWithoutTheTelnetCommands) {
    server.Start();
    Select(Url("rfc2217"));
    ASSERT_EQ(COM_GetPortState(), PORT_READY) << (ErrorTexts().empty() ? "" : ErrorTexts()[0]);
    EXPECT_TRUE(ErrorTexts().empty());
    EXPECT_EQ(Notes(true), "the server did not confirm DTR on, RTS on (SET-CONTROL)");

    uint8_t acData[16] = {};
    auto start = Clock::now();
    EXPECT_EQ(COM_Read(acData, 7, 150), 0u);
    EXPECT_GE(Com_ElapsedMs(start), 150);
    // Three data bytes, one of them a doubled 0xFF, with a notification and a NOP among them: the
    // read takes its whole timeout (no inter-byte timeout) and returns the three.
    server.Send({0x68, 0xFF, 0xFA, 0x2C, 0x6B, 0x00, 0xFF, 0xF0, 0xFF, 0xFF, 0xFF, 0xF1, 0x16});
    start = Clock::now();
    EXPECT_EQ(COM_Read(acData, 7, 300), 3u);
    EXPECT_GE(Com_ElapsedMs(start), 300);
    EXPECT_EQ(Bytes(acData, acData + 3), (Bytes{0x68, 0xFF, 0x16}));

    // The purge leads the frame, 0xFF doubled, in one write.
    server.Send({0x55});
    COM_DiscardInput();
    const Bytes frame = {0x68, 0x02, 0x02, 0x68, 0x00, 0x00, 0x02, 0xFF, 0x01, 0x02, 0x16};
    EXPECT_EQ(COM_Write(frame.data(), static_cast<uint32_t>(frame.size())), 0);
    EXPECT_EQ(server.Receive(Ms(1000), 19), (Bytes{0xFF, 0xFA, 0x2C, 12, 1, 0xFF, 0xF0, 0x68, 0x02, 0x02,
                                                   0x68, 0x00, 0x00, 0x02, 0xFF, 0xFF, 0x01, 0x02, 0x16}));
    EXPECT_EQ(COM_Read(acData, 1, 50), 0u) << "the byte before the discard came through";
}

TEST_F(ComNet, RawTcpPassesEveryByteAsItIs) {
    server.Start();
    Com_UsePorts({Url("tcp")});
    COM_ChangeSettings(Com_DialogSettings(0));
    ASSERT_EQ(COM_GetPortState(), PORT_READY);
    ASSERT_TRUE(server.Accept());
    const Bytes frame = {0x68, 0xFF, 0xFF, 0x68, 0xFA, 0x2C, 0x16};
    COM_DiscardInput();
    EXPECT_EQ(COM_Write(frame.data(), static_cast<uint32_t>(frame.size())), 0);
    EXPECT_EQ(server.Receive(Ms(1000), frame.size() + 1), frame);
    server.Send(frame);
    uint8_t acData[16] = {};
    EXPECT_EQ(COM_Read(acData, static_cast<uint32_t>(frame.size()), 1000), frame.size());
    EXPECT_EQ(Bytes(acData, acData + frame.size()), frame);
}

TEST_F(ComNet, AServerThatSetOtherValuesIsARefusedLineConfiguration) {
    server.Start();
    Select(Url("rfc2217"), 9600);
    EXPECT_NE(COM_GetPortState(), PORT_READY);
    ASSERT_EQ(ErrorTexts().size(), 1u);
    EXPECT_EQ(ErrorTexts()[0],
              "COM::COM_ChangeBaudrate: SetCommState failed: the server set 9600 baud, 8 data bits, "
              "odd parity, 1 stop bit, not 57600 baud, 8 data bits, odd parity, 1 stop bit");
}

// Answers that came before the set-up was asked for, from a server that never took up
// COM-PORT-OPTION, confirm nothing, however well they match.
TEST_F(ComNet, AnswersBeforeTheSetupWasAskedForConfirmNothing) {
    server.Start();
    peer = std::thread([this] {
        ASSERT_TRUE(server.Accept());
        Bytes answers;
        for (Bytes a : {Bytes{1, 0x00, 0x00, 0xE1, 0x00}, {2, 8}, {3, 2}, {4, 1}, {5, 1}, {5, 8}, {5, 11}}) {
            answers.insert(answers.end(), {0xFF, 0xFA, 0x2C, static_cast<uint8_t>(a[0] + 100)});
            answers.insert(answers.end(), a.begin() + 1, a.end());
            answers.insert(answers.end(), {0xFF, 0xF0});
        }
        server.Send(answers);
    });
    Com_UsePorts({Url("rfc2217")});
    COM_ChangeSettings(Com_DialogSettings(0));
    peer.join();
    EXPECT_NE(COM_GetPortState(), PORT_READY);
    EXPECT_EQ(ErrorTexts(),
              std::vector<std::string>{"COM::COM_ChangeBaudrate: SetCommState failed: the server "
                                       "did not take up COM-PORT-OPTION (RFC 2217)"});
}

// A ser2net line left at even parity confirms even: the device would hear every frame with the
// wrong parity bit, so the set-up fails and says so.
TEST_F(ComNet, AServerThatConfirmsAnotherParityIsARefusedLineConfiguration) {
    server.Start();
    Select(Url("rfc2217"), 57600, 3);
    EXPECT_NE(COM_GetPortState(), PORT_READY);
    EXPECT_EQ(ErrorTexts(),
              std::vector<std::string>{
                  "COM::COM_ChangeBaudrate: SetCommState failed: the server set 57600 baud, 8 data "
                  "bits, even parity, 1 stop bit, not 57600 baud, 8 data bits, odd parity, 1 stop bit"});
}

TEST_F(ComNet, NobodyListeningIsAPortNotAvailable) {
    server.Start();
    server.StopListening();
    Com_UsePorts({Url("rfc2217")});
    auto start = Clock::now();
    COM_ChangeSettings(Com_DialogSettings(0));
    EXPECT_LT(Com_ElapsedMs(start), 3500);
    EXPECT_EQ(COM_GetPortState(), PORT_NOT_CONFIGURED);
    EXPECT_EQ(ErrorTexts(), std::vector<std::string>{"COM::_InitCOM: Port not available"});
    EXPECT_EQ(Notes(false), "connection refused");
}

// The server closes the connection: the port is gone at once (no read waits on it) and the
// worker's poll connects again, about once a second and without a message, once it listens again.
TEST_F(ComNet, AClosedConnectionIsAGonePortThatIsConnectedAgainQuietly) {
    server.Start();
    const int port = server.Port;
    Select(Url("rfc2217"));
    ASSERT_EQ(COM_GetPortState(), PORT_READY);
    server.Hangup();
    server.StopListening();
    uint8_t acData[7];
    auto start = Clock::now();
    for (int i = 0; i < 3 && COM_GetPortState() == PORT_READY; ++i)
        COM_Read(acData, 7, 1000);
    EXPECT_EQ(COM_GetPortState(), PORT_GONE);
    EXPECT_LT(Com_ElapsedMs(start), 1500);
    std::this_thread::sleep_for(Ms(1100));
    EXPECT_EQ(COM_ReopenGonePort(), 0); // refused: still gone, quietly

    server.Start(port);
    peer = std::thread([this] { PlaySetup(server, 57600); });
    std::this_thread::sleep_for(Ms(1100));
    EXPECT_EQ(COM_ReopenGonePort(), 1);
    peer.join();
    EXPECT_EQ(COM_GetPortState(), PORT_READY);
    EXPECT_TRUE(ErrorTexts().empty());
}

// The server comes back with its line at even parity: each try connects, fails the set-up and
// closes the connection again at once, quietly; none is kept half set up (a socket a second
// would run the process out of descriptors, and a local port would stay locked).
TEST_F(ComNet, AReturningServerWithAnotherParityIsClosedAgainAfterEachTry) {
    server.Start();
    Select(Url("rfc2217"));
    ASSERT_EQ(COM_GetPortState(), PORT_READY);
    server.Hangup();
    uint8_t acData[7];
    for (int i = 0; i < 3 && COM_GetPortState() == PORT_READY; ++i)
        COM_Read(acData, 7, 1000);
    ASSERT_EQ(COM_GetPortState(), PORT_GONE);
    for (int attempt = 0; attempt < 2; ++attempt) {
        peer = std::thread([this] { PlaySetup(server, 57600, 3); });
        std::this_thread::sleep_for(Ms(1100));
        EXPECT_EQ(COM_ReopenGonePort(), 0);
        EXPECT_EQ(COM_GetPortState(), PORT_GONE);
        peer.join(); // the set-up played to its end: the server is the test's again
        EXPECT_TRUE(server.Closed(Ms(1000))) << "try " << attempt << ": the connection was left open";
        server.Hangup();
    }
    EXPECT_TRUE(ErrorTexts().empty());
}

} // namespace
