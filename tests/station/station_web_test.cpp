// The station's web side over real loopback sockets, with raw requests: what it serves and with
// which headers, what it refuses and how, the event stream, a client that stops reading, the bound
// on clients, and a port it cannot listen on. Waits have limits far beyond any machine's load; no
// verdict is a time.
#include "station_test.h"

#include "app/station/station_page.h"
#include "app/station/station_web.h"

#include <boost/asio.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

namespace net = boost::asio;
using tcp = net::ip::tcp;
using boost::system::error_code;

namespace {

constexpr int WAIT_MS = 30000;

// A raw client of the server under test.
struct Client {
    net::io_context Io;
    tcp::socket Socket{Io};
    std::string Text; // everything read so far
    bool Ended = false;

    explicit Client(int receiveBuffer = 0) {
        Socket.open(tcp::v4());
        if (receiveBuffer > 0)
            Socket.set_option(net::socket_base::receive_buffer_size(receiveBuffer));
        Socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), WEB_Port()));
    }
    void Send(const std::string& bytes) { net::write(Socket, net::buffer(bytes)); }
    // Reads until done(Text), the end of the connection, or WAIT_MS; true when done said so.
    bool ReadUntil(const std::function<bool(const std::string&)>& done) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
        char acBuffer[16384];
        while (!done(Text) && !Ended && std::chrono::steady_clock::now() < deadline) {
            bool completed = false;
            Socket.async_read_some(net::buffer(acBuffer), [&](error_code ec, size_t n) {
                completed = true;
                Text.append(acBuffer, n);
                Ended = Ended || ec;
            });
            Io.restart();
            Io.run_for(deadline - std::chrono::steady_clock::now());
            if (!completed) {
                Socket.cancel();
                Io.restart();
                Io.run();
            }
        }
        return done(Text);
    }
    std::string ReadToEnd() {
        ReadUntil([](const std::string&) { return false; });
        return Text;
    }
};

// One request on a connection of its own, read to the end.
std::string Ask(const std::string& request) {
    Client c;
    c.Send(request);
    return c.ReadToEnd();
}

std::string Get(const std::string& target, const std::string& method = "GET") {
    return Ask(method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

int StatusOf(const std::string& response) {
    return response.rfind("HTTP/1.", 0) == 0 && response.size() > 12 ? std::atoi(response.c_str() + 9) : -1;
}

std::string HeaderOf(const std::string& response, const std::string& name) {
    std::string head = response.substr(0, response.find("\r\n\r\n"));
    std::string lower = head;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string key = "\r\n" + name + ": ";
    for (char& c : key)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t at = lower.find(key);
    if (at == std::string::npos)
        return "";
    at += key.size();
    return head.substr(at, head.find("\r\n", at) - at);
}

std::string BodyOf(const std::string& response) {
    size_t at = response.find("\r\n\r\n");
    return at == std::string::npos ? "" : response.substr(at + 4);
}

// The data of each whole event in a stream's text.
std::vector<std::string> EventsIn(const std::string& text) {
    std::vector<std::string> events;
    for (size_t at = text.find("data: "); at != std::string::npos; at = text.find("data: ", at)) {
        size_t end = text.find("\n\n", at);
        if (end == std::string::npos)
            break;
        events.push_back(text.substr(at + 6, end - at - 6));
        at = end;
    }
    return events;
}

// Long names make each event long, so the buffers of a page that does not read fill after a few.
std::vector<std::string> LongPortNames() {
    std::vector<std::string> ports;
    for (int i = 0; i < 8; ++i)
        ports.push_back("/dev/serial/by-id/" + std::string(3000, static_cast<char>('a' + i)));
    return ports;
}

bool WaitFor(const std::function<bool()>& condition) {
    for (int i = 0; i < WAIT_MS / 10 && !condition(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}

class StationWeb : public ::testing::Test {
  protected:
    void Start(WebOptions options = {}) {
        options.Port = 0;
        std::string error;
        ASSERT_TRUE(WEB_Start(options, &error)) << error;
    }
    void SetUp() override {
        Station_Init(TestInfo(), {"/dev/ttyUSB0", "COM4"});
        Start();
    }
    void TearDown() override {
        WEB_Stop();
        EXPECT_EQ(WEB_Clients(), 0);
    }
};

} // namespace

TEST_F(StationWeb, ServesThePageItsPartsStateAndMetricsWithSafetyHeaders) {
    struct Case {
        const char* Target;
        const char* Type;
        std::string Body;
    } cases[] = {
        {"/", "text/html; charset=utf-8", std::string(acStationHtml, StationHtmlLength)},
        {"/station.css", "text/css; charset=utf-8", std::string(acStationCss, StationCssLength)},
        {"/station.js", "text/javascript; charset=utf-8", std::string(acStationJs, StationJsLength)},
        {"/favicon.svg", "image/svg+xml", std::string(acStationIcon, StationIconLength)},
        {"/state?since=0", "application/json", ""},
        {"/metrics", "text/plain; version=0.0.4; charset=utf-8", ""},
    };
    for (const Case& c : cases) {
        std::string response = Get(c.Target);
        EXPECT_EQ(StatusOf(response), 200) << c.Target;
        EXPECT_EQ(HeaderOf(response, "Content-Type"), c.Type) << c.Target;
        if (!c.Body.empty()) {
            EXPECT_EQ(BodyOf(response), c.Body) << c.Target;
        }
        // The page's own origin for its script, style, icon and event stream; nothing else at all.
        EXPECT_EQ(
            HeaderOf(response, "Content-Security-Policy"),
            "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
            "base-uri 'none'; form-action 'none'; frame-ancestors 'none'")
            << c.Target;
        EXPECT_EQ(HeaderOf(response, "X-Content-Type-Options"), "nosniff") << c.Target;
        EXPECT_EQ(response.find("Access-Control-"), std::string::npos) << c.Target;
    }
    boost::property_tree::ptree state = ReadJson(BodyOf(Get("/state")));
    EXPECT_EQ(state.get<std::string>("host"), "line-4");
    EXPECT_EQ(state.get_child("ports").size(), 2u);
    EXPECT_NE(BodyOf(Get("/metrics")).find("tq330_results_total{port=\"COM4\",result=\"updated\"} 0\n"),
              std::string::npos);
}

// Each refusal is its status and a line of text, nothing more; the server goes on serving.
TEST_F(StationWeb, RefusesUnknownPathsMethodsOversizedAndMalformedRequests) {
    const std::string host = "Host: 127.0.0.1\r\nConnection: close\r\n";
    struct Case {
        std::string Request;
        int Status;
    } cases[] = {
        {"GET /nothing HTTP/1.1\r\n" + host + "\r\n", 404},
        {"GET /../etc/passwd HTTP/1.1\r\n" + host + "\r\n", 404},
        {"GET /state/../metrics HTTP/1.1\r\n" + host + "\r\n", 404},
        {"GET /%2e%2e/%2e%2e/etc/passwd HTTP/1.1\r\n" + host + "\r\n", 404},
        {"GET /station.js/ HTTP/1.1\r\n" + host + "\r\n", 404},
        {"POST /state HTTP/1.1\r\n" + host + "Content-Length: 2\r\n\r\n{}", 405},
        {"PUT / HTTP/1.1\r\n" + host + "Content-Length: 0\r\n\r\n", 405},
        {"DELETE /state HTTP/1.1\r\n" + host + "\r\n", 405},
        {"OPTIONS * HTTP/1.1\r\n" + host + "\r\n", 405},
        {"BREW /pot HTTP/1.1\r\n" + host + "\r\n", 405},
        {"GET / HTTP/1.1\r\n" + host + "X-Big: " + std::string(20000, 'a') + "\r\n\r\n", 431},
        {"GET /" + std::string(10000, 'a') + " HTTP/1.1\r\n" + host + "\r\n", 431},
        {"GET / HTTP/1.1\r\n" + host + "Content-Length: 100000\r\n\r\n" + std::string(2000, 'b'), 413},
        {"GARBAGE\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nConnection: close\r\n\r\n", 400}, // HTTP/1.1 without a Host
        {"GET http://127.0.0.1/ HTTP/1.1\r\n" + host + "\r\n", 400},
        {"GET / HTTP/1.1\r\n" + host + "Content-Length: x\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: evil.example\r\nConnection: close\r\n\r\n", 421},
        {"GET / HTTP/1.1\r\nHost: 127.0.0.1.evil.example:80\r\nConnection: close\r\n\r\n", 421},
        {"GET / HTTP/1.1\r\nHost: localhost:8330\r\nConnection: close\r\n\r\n", 200},
        {"GET / HTTP/1.1\r\nHost: [::1]:8330\r\nConnection: close\r\n\r\n", 200},
        {"GET / HTTP/1.0\r\n\r\n", 200},
    };
    for (const Case& c : cases) {
        std::string response = Ask(c.Request);
        std::string shown = c.Request.substr(0, 60);
        EXPECT_EQ(StatusOf(response), c.Status) << shown << "\n" << response.substr(0, 300);
        if (c.Status != 200) {
            EXPECT_EQ(BodyOf(response), std::to_string(c.Status) + " " +
                                            (response.substr(13, response.find("\r\n") - 13)) + "\n")
                << shown;
            EXPECT_EQ(HeaderOf(response, "X-Content-Type-Options"), "nosniff") << shown;
        }
        if (c.Status == 405) {
            EXPECT_EQ(HeaderOf(response, "Allow"), "GET, HEAD") << shown;
        }
    }
    EXPECT_EQ(StatusOf(Get("/state")), 200);
}

TEST_F(StationWeb, HeadAnswersTheHeadOnlyAndAConnectionServesSeveralRequests) {
    std::string head = Get("/", "HEAD");
    EXPECT_EQ(StatusOf(head), 200);
    EXPECT_EQ(HeaderOf(head, "Content-Length"), std::to_string(StationHtmlLength));
    EXPECT_EQ(BodyOf(head), "");
    Client c;
    c.Send("GET /station.css HTTP/1.1\r\nHost: localhost\r\n\r\nGET /nothing HTTP/1.1\r\nHost: "
           "localhost\r\n\r\n");
    c.Send("GET /state HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    std::string text = c.ReadToEnd();
    size_t first = text.find("HTTP/1.1 200"), second = text.find("HTTP/1.1 404"),
           third = text.find("HTTP/1.1 200", first + 1);
    EXPECT_NE(first, std::string::npos) << text.substr(0, 200);
    EXPECT_NE(second, std::string::npos);
    EXPECT_NE(third, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
}

TEST_F(StationWeb, EventsPushTheStateAndEachChange) {
    Client c;
    c.Send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n");
    ASSERT_TRUE(c.ReadUntil([](const std::string& t) { return EventsIn(t).size() >= 1; })) << c.Text;
    EXPECT_EQ(StatusOf(c.Text), 200);
    EXPECT_EQ(HeaderOf(c.Text, "Content-Type"), "text/event-stream");
    EXPECT_EQ(HeaderOf(c.Text, "Content-Length"), "");
    EXPECT_NE(BodyOf(c.Text).find("retry: "), std::string::npos);
    EXPECT_EQ(ReadJson(EventsIn(c.Text)[0]).get_child("ports").begin()->second.get<std::string>("state"),
              "starting");
    Station_Apply(
        1,
        R"j({"event":"result","result":"not updated","failed_step":"Clear target not executed (no answer)"})j");
    ASSERT_TRUE(c.ReadUntil([](const std::string& t) { return EventsIn(t).size() >= 2; })) << c.Text;
    boost::property_tree::ptree state = ReadJson(EventsIn(c.Text).back());
    auto port = std::next(state.get_child("ports").begin())->second;
    EXPECT_EQ(port.get<std::string>("state"), "not updated");
    EXPECT_EQ(port.get<std::string>("failed_step"), "Clear target not executed (no answer)");
}

// While a write to a page is on its way the state may change many times: the page gets the latest
// state once the write is done, not every state in between and not a stale one.
TEST_F(StationWeb, APageThatReadsLateGetsTheLatestState) {
    WEB_Stop();
    Station_Init(TestInfo(), LongPortNames());
    WebOptions options;
    options.WriteTimeoutMs = 120000;
    options.PushIntervalMs = 1;
    Start(options);
    Client late(2048);
    late.Send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    // Far more than the socket buffers hold: the writes stall behind the page that does not read.
    for (int percent = 0; percent < 40; ++percent) {
        Station_Apply(0, R"j({"event":"progress","percent":)j" + std::to_string(percent) + "}");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Station_Apply(1, R"j({"event":"result","result":"updated","update_seconds":42.0})j");
    ASSERT_TRUE(late.ReadUntil([](const std::string& t) {
        std::vector<std::string> events = EventsIn(t);
        return !events.empty() && std::next(ReadJson(events.back()).get_child("ports").begin())
                                          ->second.get<std::string>("state") == "updated";
    }));
    EXPECT_LT(EventsIn(late.Text).size(), 42u);
}

// A page that stops reading must not hold the others up, nor pile up the state in the program: its
// writes stall, and it is dropped when one takes longer than the write timeout.
TEST_F(StationWeb, AClientThatNeverReadsIsDroppedWhileAnotherGetsEvents) {
    WEB_Stop();
    Station_Init(TestInfo(), LongPortNames());
    WebOptions options;
    options.WriteTimeoutMs = 300;
    options.PushIntervalMs = 5;
    Start(options);
    Client stalled(2048), reader;
    const std::string request = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    stalled.Send(request);
    reader.Send(request);
    ASSERT_TRUE(reader.ReadUntil([](const std::string& t) { return EventsIn(t).size() >= 1; }));
    ASSERT_TRUE(WaitFor([] { return WEB_Clients() == 2; }));
    // Changes until the stalled one is gone; the reader keeps reading all along.
    int step = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
    while (WEB_Clients() == 2 && std::chrono::steady_clock::now() < deadline) {
        Station_Apply(0, R"j({"event":"progress","percent":)j" + std::to_string(step++ % 100) + "}");
        size_t seen = reader.Text.size();
        reader.ReadUntil([seen](const std::string& t) { return t.size() > seen; });
    }
    EXPECT_EQ(WEB_Clients(), 1);
    reader.Text.clear();
    Station_Apply(1, R"j({"event":"result","result":"updated","update_seconds":42.0})j");
    ASSERT_TRUE(reader.ReadUntil([](const std::string& t) {
        std::vector<std::string> events = EventsIn(t);
        return !events.empty() && std::next(ReadJson(events.back()).get_child("ports").begin())
                                          ->second.get<std::string>("state") == "updated";
    }));
    // The dropped one finds its connection ended.
    stalled.ReadToEnd();
    EXPECT_TRUE(stalled.Ended);
}

// Beyond the bound a connection gets 503 and is closed; once one goes, the next is served again.
TEST_F(StationWeb, ClientsAreBounded) {
    WEB_Stop();
    WebOptions options;
    options.MaxClients = 3;
    Start(options);
    std::vector<std::unique_ptr<Client>> streams;
    for (int i = 0; i < 3; ++i) {
        streams.push_back(std::make_unique<Client>());
        streams.back()->Send("GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        ASSERT_TRUE(streams.back()->ReadUntil([](const std::string& t) { return !EventsIn(t).empty(); }));
    }
    std::string refused = Get("/state");
    EXPECT_EQ(StatusOf(refused), 503) << refused;
    EXPECT_EQ(HeaderOf(refused, "Retry-After"), "5");
    streams.pop_back();
    ASSERT_TRUE(WaitFor([] { return WEB_Clients() == 2; }));
    EXPECT_EQ(StatusOf(Get("/state")), 200);
}

// A request that never ends (a slow client, or an attack) is cut after the request timeout.
TEST_F(StationWeb, ARequestThatNeverEndsIsCut) {
    WEB_Stop();
    WebOptions options;
    options.RequestTimeoutMs = 200;
    Start(options);
    Client c;
    c.Send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    c.ReadToEnd();
    EXPECT_TRUE(c.Ended);
    EXPECT_EQ(c.Text, "");
    EXPECT_TRUE(WaitFor([] { return WEB_Clients() == 0; }));
}

TEST(StationWebListen, APortInUseIsAClearErrorAndNothingServes) {
    net::io_context io;
    tcp::acceptor taken(io, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
    WebOptions options;
    options.Port = taken.local_endpoint().port();
    std::string error;
    EXPECT_FALSE(WEB_Start(options, &error));
    EXPECT_EQ(error.rfind("127.0.0.1:" + std::to_string(options.Port) + ": ", 0), 0u) << error;
    EXPECT_GT(error.size(), 18u) << error; // and why
    EXPECT_EQ(WEB_Port(), 0);
    options.Address = "192.0.2.1"; // TEST-NET: not this machine's
    options.Port = 0;
    EXPECT_FALSE(WEB_Start(options, &error));
    EXPECT_EQ(error.rfind("192.0.2.1:0: ", 0), 0u) << error;
    WEB_Stop();
}

TEST(StationWebListen, ServeAddressesAreReadOrRefusedWithAReason) {
    struct Case {
        const char* Text;
        const char* Address;
        int Port;
    } cases[] = {
        {"8330", "127.0.0.1", 8330},
        {"0.0.0.0:8330", "0.0.0.0", 8330},
        {"[::1]:80", "::1", 80},
        {"[::]:65535", "::", 65535},
        {"localhost:1", "127.0.0.1", 1},
        {"host.example:80", nullptr, 0},
        {"::1:80", nullptr, 0},
        {"0", nullptr, 0},
        {"65536", nullptr, 0},
        {"80a", nullptr, 0},
        {":80", nullptr, 0},
        {"1.2.3.4:", nullptr, 0},
        {"", nullptr, 0},
        {"99999999999", nullptr, 0},
    };
    for (const Case& c : cases) {
        WebOptions options;
        std::string error;
        bool read = WEB_ParseAddress(c.Text, &options, &error);
        EXPECT_EQ(read, c.Address != nullptr) << c.Text << ": " << error;
        if (read) {
            EXPECT_EQ(options.Address, c.Address) << c.Text;
            EXPECT_EQ(options.Port, c.Port) << c.Text;
        } else {
            EXPECT_EQ(error.rfind(std::string("--serve ") + c.Text + ": ", 0), 0u) << error;
        }
    }
    EXPECT_TRUE(WEB_IsLoopback("127.0.0.1"));
    EXPECT_TRUE(WEB_IsLoopback("::1"));
    EXPECT_FALSE(WEB_IsLoopback("0.0.0.0"));
}

// The page keeps to its Content-Security-Policy (no inline script or style) and writes the program's
// texts as text: the script never hands a text to the browser as markup or code.
TEST(StationPage, HasNoInlineCodeAndWritesTextsAsText) {
    std::string html(acStationHtml, StationHtmlLength), js(acStationJs, StationJsLength);
    EXPECT_EQ(html.find("<script>"), std::string::npos);
    EXPECT_EQ(html.find("<style"), std::string::npos);
    EXPECT_EQ(html.find("style="), std::string::npos);
    EXPECT_EQ(html.find(" on"), std::string::npos);  // no onload=, onclick=, ...
    EXPECT_EQ(html.find("http"), std::string::npos); // nothing from elsewhere
    for (const char* sink : {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write", "eval(",
                             "Function(", "setAttribute('on", "http"})
        EXPECT_EQ(js.find(sink), std::string::npos) << sink;
    EXPECT_NE(js.find("textContent"), std::string::npos);
}
