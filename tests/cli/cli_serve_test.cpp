// tq330-flash --serve: the station's /state and /metrics as a client on this machine reads them
// while real updates run on simulators, the requests it must refuse, and the port it cannot take.
#include "cli_run.h"
#include "cli_sim.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A TCP port nobody listens on now: the system's pick for a socket bound to port 0.
int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

// Sends the bytes to the port on loopback and returns all the server answers until it closes or
// goes quiet for 3 s: a request written by hand, as a hostile client would.
std::string Exchange(int port, const std::string& request) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        pollfd p{fd, POLLIN, 0};
        char acBuffer[8192];
        ssize_t n = 0;
        while (poll(&p, 1, 3000) > 0 && (n = read(fd, acBuffer, sizeof acBuffer)) > 0)
            answer.append(acBuffer, static_cast<size_t>(n));
    }
    close(fd);
    return answer;
}

std::string Get(int port, const std::string& path) {
    return Exchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nConnection: close\r\n\r\n");
}

int StatusOf(const std::string& answer) {
    return answer.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(answer.c_str() + 9) : -1;
}

int CountResults(const std::string& out, const std::string& result) {
    int n = 0;
    for (const std::string& line : Events(out, "result"))
        n += Field(line, "result") == result;
    return n;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A device that stays in its new application once updated (the loop waits for the next one), on a
// line ten times as fast as the real one: an update takes seconds, long enough to be seen running.
const std::vector<std::string> STAYS = {"--app-ms", "600000", "--baud", "576000"};

} // namespace

// Three devices on the line, one whose identify text is markup and one that rejects a block. While
// they are updated, requests the station must refuse come in; they are answered 4xx and the updates
// end as they would without them. Then /state and /metrics say, per port, what the children said.
TEST(FlashCliServe, SeveralPortsServeTheirStateAndRefuseWhatIsNotAsked) {
    std::vector<std::string> hostile = STAYS, faulty = STAYS;
    hostile.insert(hostile.end(), {"--id-text1", "<img src=x onerror=alert(1)>"});
    faulty.insert(faulty.end(), {"--reject-at", "0xC0000"});
    TestDevice good(STAYS), marked(hostile), bad(faulty);
    const int port = FreePort();
    std::string state, metrics;
    std::vector<int> refusals;
    bool askedDuring = false;
    FlashRun run =
        RunFlash({"--port", good.Sim.Device, "--port", marked.Sim.Device, "--port", bad.Sim.Device, "--loop",
                  "--json", "--serve", std::to_string(port)},
                 300, "", [&](const std::string& out) {
                     if (!askedDuring && !Events(out, "progress").empty()) {
                         askedDuring = true;
                         refusals = {
                             StatusOf(Exchange(port, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " +
                                                         std::string(20000, 'a') + "\r\n\r\n")),
                             StatusOf(Exchange(port, "DELETE /state HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                                     "Connection: close\r\n\r\n")),
                             StatusOf(Get(port, "/../../etc/passwd")),
                             StatusOf(Get(port, "/page/../state")),
                             StatusOf(Get(port, "/nothing-here")),
                             StatusOf(Exchange(port, "GET /state HTTP/1.1\r\nHost: evil.example\r\n"
                                                     "Connection: close\r\n\r\n")),
                         };
                     }
                     if (Events(out, "result").size() < 3)
                         return false;
                     state = Get(port, "/state");
                     metrics = Get(port, "/metrics");
                     return true;
                 });
    EXPECT_EQ(run.ExitCode, 1) << run.Err;
    ASSERT_TRUE(askedDuring) << run.Out;
    ASSERT_EQ(refusals.size(), 6u);
    for (size_t i = 0; i < refusals.size(); ++i) {
        EXPECT_GE(refusals[i], 400) << i;
        EXPECT_LT(refusals[i], 500) << i;
    }
    EXPECT_EQ(refusals[0], 431);
    EXPECT_EQ(refusals[1], 405);
    // The updates went on unharmed.
    EXPECT_EQ(CountResults(run.Out, "updated"), 2) << run.Out;
    EXPECT_EQ(CountResults(run.Out, "not updated"), 1) << run.Out;
    EXPECT_TRUE(good.Flash() == ImageFlash());
    EXPECT_TRUE(marked.Flash() == ImageFlash());

    ASSERT_EQ(StatusOf(state), 200) << state;
    const std::string body = state.substr(state.find("\r\n\r\n") + 4);
    // The markup arrives as text only: its angle brackets never leave the station unescaped.
    EXPECT_TRUE(Has(body, R"("id_text1":"\u003cimg src=x onerror=alert(1)\u003e")")) << body;
    EXPECT_FALSE(Has(state, "<img")) << state;
    EXPECT_TRUE(Has(body, R"("id_text1":"TQ330")")) << body;
    EXPECT_TRUE(Has(body, R"("state":"not updated")")) << body;
    EXPECT_TRUE(Has(body, R"j("failed_step":"Programming target target error (0x83 at address 0xC0000)")j"))
        << body;
    EXPECT_TRUE(Has(body, R"("firmware":"built in")")) << body;

    ASSERT_EQ(StatusOf(metrics), 200) << metrics;
    for (const TestDevice* pDevice : {&good, &marked, &bad}) {
        const bool isBad = pDevice == &bad;
        const std::string label = "{port=\"" + pDevice->Sim.Device + "\",result=";
        EXPECT_TRUE(Has(metrics, "tq330_results_total" + label + "\"updated\"} " + (isBad ? "0" : "1")))
            << pDevice->Sim.Device << metrics;
        EXPECT_TRUE(Has(metrics, "tq330_results_total" + label + "\"not updated\"} " + (isBad ? "1" : "0")))
            << pDevice->Sim.Device << metrics;
    }
    // The terminal's summary says what the station says.
    std::vector<std::string> summary = Events(run.Out, "summary");
    ASSERT_EQ(summary.size(), 3u) << run.Out;
    for (const std::string& line : summary)
        EXPECT_EQ(Field(line, "result"),
                  Field(line, "port") == bad.Sim.Device ? "not updated (0/1 ok)" : "updated (1/1 ok)")
            << line;
}

// One port: the session's own events feed the station, and the address given lets the line's
// network in, which the output says even with --quiet.
TEST(FlashCliServe, OnePortFeedsTheStationFromTheSession) {
    TestDevice device(STAYS);
    const int port = FreePort();
    std::string state, metrics;
    FlashRun run = RunFlash({"--port", device.Sim.Device, "--loop", "--json", "--quiet", "--serve",
                             "0.0.0.0:" + std::to_string(port)},
                            120, "", [&](const std::string& out) {
                                if (CountResults(out, "updated") < 1)
                                    return false;
                                state = Get(port, "/state");
                                metrics = Get(port, "/metrics");
                                return true;
                            });
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_TRUE(Has(run.Err, "The station's page: http://0.0.0.0:" + std::to_string(port) +
                                 "/ (open to every computer on this line's network)"))
        << run.Err;
    std::vector<std::string> serving = Events(run.Out, "serving");
    ASSERT_EQ(serving.size(), 1u) << run.Out;
    EXPECT_EQ(Field(serving[0], "loopback"), "false");
    // The events the station reads carry the device's words and the resends.
    std::vector<std::string> connected = Events(run.Out, "connected");
    ASSERT_FALSE(connected.empty());
    EXPECT_EQ(Field(connected[0], "id_text1"), "TQ330");
    EXPECT_EQ(Field(connected[0], "id_byte"), "0x33");
    EXPECT_EQ(Field(Events(run.Out, "result")[0], "retries"), "0");
    EXPECT_TRUE(Has(state, "\"port\":\"" + device.Sim.Device + "\"")) << state;
    EXPECT_TRUE(Has(state, R"("state":"updated")")) << state;
    EXPECT_TRUE(Has(state, R"("updated":1,"not_updated":0)")) << state;
    EXPECT_TRUE(Has(metrics, "tq330_results_total{port=\"" + device.Sim.Device + "\",result=\"updated\"} 1"))
        << metrics;
}

// A port the station cannot listen on ends the run before any device hears a byte.
TEST(FlashCliServe, APortItCannotListenOnEndsWith3BeforeAnyDevice) {
    TestDevice a, b;
    int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    getsockname(taken, reinterpret_cast<sockaddr*>(&address), &size);
    const std::string where = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    for (const std::vector<std::string>& ports : {std::vector<std::string>{"--port", a.Sim.Device},
                                                  {"--port", a.Sim.Device, "--port", b.Sim.Device}}) {
        std::vector<std::string> args = ports;
        args.insert(args.end(), {"--json", "--serve", where});
        FlashRun run = RunFlash(args, 30);
        EXPECT_EQ(run.ExitCode, 3) << run.Err;
        EXPECT_TRUE(Has(run.Err, "tq330-flash: --serve: " + where + ": ")) << run.Err;
        EXPECT_TRUE(Has(run.Err, "(no device touched)")) << run.Err;
        std::vector<std::string> results = Events(run.Out, "result");
        ASSERT_EQ(results.size(), 1u) << run.Out;
        EXPECT_EQ(Field(results[0], "result"), "serve error");
        EXPECT_EQ(Field(results[0], "exit_code"), "3");
    }
    close(taken);
    EXPECT_TRUE(a.Commands().empty());
    EXPECT_TRUE(b.Commands().empty());
}
