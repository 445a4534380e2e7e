// The station's web server: Boost.Beast's HTTP/1.1 over Boost.Asio, one I/O thread and one thread
// that waits for the station's changes and hands them to the I/O thread. Each connection is owned
// by the operation it has pending; the I/O thread alone touches connections, the stream list and the
// rendered event. A stream holds at most one write in flight plus "the state changed since": a
// client that stops reading costs one message, and is dropped when a write takes too long.
#include "app/station/station_web.h"

#include "app/station/station.h"
#include "app/station/station_answer.h"
#include "app/station/station_render.h"
#ifdef _WIN32
#include "platform/win32.h" // first: Asio then finds the Windows headers set up as everywhere else
#endif

#include <boost/asio.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using boost::system::error_code;

namespace {

constexpr size_t HEADER_LIMIT = 8192; // the request line and its fields; more is 431
constexpr size_t BODY_LIMIT = 1024;   // a GET has no use for a body; more is 413
constexpr int DRAIN_MS = 2000;        // reading what a refused request still sends, before closing
constexpr int STREAM_SEND_BUFFER = 65536;

struct Connection;
using ConnectionPtr = std::shared_ptr<Connection>;

struct Server {
    net::io_context Io{1};
    tcp::acceptor Acceptor{Io};
    net::steady_timer KeepAlive{Io};
    net::steady_timer AcceptPause{Io};
    WebOptions Options;
    bool Loopback = true;
    std::thread IoThread, Watcher;
    // The I/O thread's.
    std::vector<std::weak_ptr<Connection>> Streams;
    std::shared_ptr<const std::string> Event; // the state as one event message
    uint64_t EventChanges = 0;
    // The watcher's stop.
    std::mutex StopLock;
    std::condition_variable StopWake;
    bool Stopping = false;
};
std::unique_ptr<Server> S;
// Outside the server: its pending operations, and with them the connections, go last when it goes.
std::atomic<int> Clients{0};

const std::shared_ptr<const std::string> KEEP_ALIVE = std::make_shared<const std::string>(":\n\n");

// The state's event message as of now, rendered once for every stream.
void RenderEvent() {
    StationSnapshot snapshot = Station_Snapshot();
    if (S->Event && snapshot.Changes == S->EventChanges)
        return;
    S->EventChanges = snapshot.Changes;
    S->Event = std::make_shared<const std::string>(Station_EventMessage(snapshot));
}

struct Connection : std::enable_shared_from_this<Connection> {
    tcp::socket Socket;
    net::steady_timer Deadline;
    boost::beast::flat_buffer Buffer{2 * (HEADER_LIMIT + BODY_LIMIT)};
    std::optional<http::request_parser<http::string_body>> Parser;
    http::response<http::string_body> Response;
    // A stream's: the message being written, and whether the state changed since it began.
    bool Writing = false, Pending = false;
    std::shared_ptr<const std::string> Out;
    char acScratch[512];

    explicit Connection(tcp::socket socket) : Socket(std::move(socket)), Deadline(Socket.get_executor()) {
        Clients++;
    }
    ~Connection() { Clients--; }

    // A deadline for what is pending: when it passes, the connection is cut at once, without waiting
    // for the peer to take what is queued (it is the one not taking it). The expiry is looked at
    // again: a wait that ran out just as its operation completed must not cut what came next.
    void Arm(int ms) {
        Deadline.expires_after(std::chrono::milliseconds(ms));
        Deadline.async_wait([weak = weak_from_this()](error_code ec) {
            ConnectionPtr c = weak.lock();
            if (c && !ec && c->Deadline.expiry() <= net::steady_timer::clock_type::now())
                c->Cut();
        });
    }
    void Disarm() { Deadline.expires_at(net::steady_timer::time_point::max()); }
    void Cut() {
        error_code ignored;
        // Cancelled first: Windows (Wine at least) may keep a stalled overlapped write pending past the
        // close, and with it the connection.
        Socket.cancel(ignored);
        Socket.set_option(net::socket_base::linger(true, 0), ignored);
        Socket.close(ignored);
    }

    void ReadRequest();
    void OnRequest(error_code ec);
    void Reply(const WebAnswer& answer, unsigned version, bool keepAlive);
    void CloseGently();
    void Drain();
    void StartStream();
    void Send(std::shared_ptr<const std::string> message);
};

void Connection::ReadRequest() {
    Parser.emplace();
    Parser->header_limit(HEADER_LIMIT);
    Parser->body_limit(BODY_LIMIT);
    Arm(S->Options.RequestTimeoutMs);
    http::async_read(Socket, Buffer, *Parser, [c = shared_from_this()](error_code ec, size_t) {
        c->Disarm();
        c->OnRequest(ec);
    });
}

void Connection::OnRequest(error_code ec) {
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
        Reply(WEB_ErrorAnswer(431), 11, false);
        return;
    }
    if (ec == http::error::body_limit) {
        Reply(WEB_ErrorAnswer(413), 11, false);
        return;
    }
    if (ec) {
        // A request the parser refused is answered; a peer that went, or a socket cut, is not.
        const bool parseError = ec.category() == http::make_error_code(http::error::bad_method).category() &&
                                ec != http::error::end_of_stream && ec != http::error::partial_message;
        if (parseError)
            Reply(WEB_ErrorAnswer(400), 11, false);
        return;
    }
    const http::request<http::string_body>& request = Parser->get();
    WebRequest r;
    r.Method = std::string(request.method_string());
    r.Target = std::string(request.target());
    r.Version = static_cast<int>(request.version());
    auto host = request.find(http::field::host);
    r.HasHost = host != request.end();
    if (r.HasHost)
        r.Host = std::string(host->value());
    r.Loopback = S->Loopback;
    WebAnswer answer = WEB_Answer(r);
    Reply(answer, request.version(), request.keep_alive() && !answer.Events);
}

void Connection::Reply(const WebAnswer& answer, unsigned version, bool keepAlive) {
    Response = {};
    Response.version(version);
    Response.result(static_cast<http::status>(answer.Status));
    for (const auto& [name, value] : WEB_SafetyHeaders())
        Response.set(name, value);
    for (const auto& [name, value] : answer.Headers)
        Response.set(name, value);
    Response.set(http::field::content_type, answer.ContentType);
    Response.keep_alive(keepAlive);
    if (answer.Events && !answer.Head) {
        StartStream(); // no length: the stream's body ends when the connection does
        return;
    }
    if (answer.Head)
        Response.content_length(answer.Body.size());
    else if (!answer.Events) {
        Response.body() = answer.Body;
        Response.prepare_payload();
    }
    Arm(S->Options.WriteTimeoutMs);
    http::async_write(Socket, Response, [c = shared_from_this(), keepAlive](error_code ec, size_t) {
        c->Disarm();
        if (ec)
            return;
        if (keepAlive)
            c->ReadRequest();
        else
            c->CloseGently();
    });
}

// Closes after the answer has left. What the peer still sends is read and dropped for a while
// first: closing with unread bytes would reset the connection and could take the answer with it.
void Connection::CloseGently() {
    error_code ignored;
    Socket.shutdown(tcp::socket::shutdown_send, ignored);
    Arm(DRAIN_MS);
    Drain();
}

void Connection::Drain() {
    Socket.async_read_some(net::buffer(acScratch), [c = shared_from_this()](error_code ec, size_t) {
        if (!ec) {
            c->Drain();
            return;
        }
        c->Disarm();
        error_code ignored;
        c->Socket.close(ignored);
    });
}

void Connection::StartStream() {
    RenderEvent();
    std::ostringstream head;
    head << Response.base();
    S->Streams.push_back(weak_from_this());
    // What the system holds for a page that stops reading stays small, and the write that stalls
    // behind it (and ends it) comes early.
    error_code ignored;
    Socket.set_option(net::socket_base::send_buffer_size(STREAM_SEND_BUFFER), ignored);
    // The page's EventSource comes back two seconds after a connection ends.
    Send(std::make_shared<const std::string>(head.str() + "retry: 2000\n" + *S->Event));
    // The page sends nothing more: a read that ends says that it went.
    Socket.async_read_some(net::buffer(acScratch), [c = shared_from_this()](error_code, size_t) {
        c->Disarm();
        error_code ignored;
        c->Socket.close(ignored);
    });
}

// One message to a stream. While one is on its way, a new state only sets Pending: the latest
// state follows when the write is done, and nothing piles up behind a slow reader.
void Connection::Send(std::shared_ptr<const std::string> message) {
    if (!Socket.is_open())
        return;
    if (Writing) {
        Pending = Pending || message != KEEP_ALIVE;
        return;
    }
    Out = std::move(message);
    Writing = true;
    Arm(S->Options.WriteTimeoutMs);
    net::async_write(Socket, net::buffer(*Out), [c = shared_from_this()](error_code ec, size_t) {
        c->Disarm();
        c->Writing = false;
        if (!ec && c->Pending) {
            c->Pending = false;
            c->Send(S->Event);
        }
    });
}

// The streams still open, each given to fn; the ones gone are forgotten.
template <class Fn> void ForEachStream(Fn fn) {
    std::vector<std::weak_ptr<Connection>> open;
    for (const std::weak_ptr<Connection>& weak : S->Streams)
        if (ConnectionPtr c = weak.lock(); c && c->Socket.is_open()) {
            fn(*c);
            open.push_back(weak);
        }
    S->Streams.swap(open);
}

// On the I/O thread: the station changed; every stream gets the new state.
void Broadcast() {
    RenderEvent();
    ForEachStream([](Connection& c) { c.Send(S->Event); });
}

// A comment on each idle stream now and then: proxies keep it open, and a peer that is gone is
// found by the write that fails.
void KeepStreamsAlive() {
    S->KeepAlive.expires_after(std::chrono::milliseconds(S->Options.KeepAliveMs));
    S->KeepAlive.async_wait([](error_code ec) {
        if (ec)
            return;
        ForEachStream([](Connection& c) {
            if (!c.Writing)
                c.Send(KEEP_ALIVE);
        });
        KeepStreamsAlive();
    });
}

// Over the bound: a short 503 if the socket takes it at once, then closed.
void Refuse(tcp::socket socket) {
    WebAnswer answer = WEB_ErrorAnswer(503);
    http::response<http::string_body> response{http::status::service_unavailable, 11};
    for (const auto& [name, value] : WEB_SafetyHeaders())
        response.set(name, value);
    for (const auto& [name, value] : answer.Headers)
        response.set(name, value);
    response.set(http::field::content_type, answer.ContentType);
    response.body() = answer.Body;
    response.keep_alive(false);
    response.prepare_payload();
    error_code ignored;
    socket.non_blocking(true, ignored);
    http::write(socket, response, ignored);
    socket.shutdown(tcp::socket::shutdown_send, ignored);
    socket.close(ignored);
}

void Accept() {
    S->Acceptor.async_accept([](error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted)
            return;
        if (ec) {
            // Out of descriptors, say: try again a little later instead of spinning on the error.
            S->AcceptPause.expires_after(std::chrono::milliseconds(100));
            S->AcceptPause.async_wait([](error_code e) {
                if (!e)
                    Accept();
            });
            return;
        }
        if (Clients.load() >= S->Options.MaxClients)
            Refuse(std::move(socket));
        else
            std::make_shared<Connection>(std::move(socket))->ReadRequest();
        Accept();
    });
}

// The watcher: waits for the station to change and lets the I/O thread push it, at most once per
// push interval, so that a burst of progress events costs one message per stream.
void Watch(uint64_t seen) {
    std::unique_lock<std::mutex> guard(S->StopLock);
    while (!S->Stopping) {
        guard.unlock();
        uint64_t now = Station_WaitChange(seen, 1000);
        guard.lock();
        if (S->Stopping || now == seen)
            continue;
        seen = now;
        net::post(S->Io, Broadcast);
        S->StopWake.wait_for(guard, std::chrono::milliseconds(S->Options.PushIntervalMs),
                             [] { return S->Stopping; });
    }
}

std::string EndpointText(const std::string& address, uint16_t port) {
    bool v6 = address.find(':') != std::string::npos;
    return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

} // namespace

bool WEB_IsLoopback(const std::string& address) {
    error_code ec;
    net::ip::address a = net::ip::make_address(address, ec);
    return !ec && a.is_loopback();
}

bool WEB_ParseAddress(const std::string& text, WebOptions* pOptions, std::string* pError) {
    std::string address = pOptions->Address, port = text;
    size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        address = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
            address = address.substr(1, address.size() - 2);
        else if (address.find(':') != std::string::npos) {
            *pError = "--serve " + text + ": an IPv6 address goes in brackets: [::1]:8330";
            return false;
        }
        if (address == "localhost")
            address = "127.0.0.1";
    }
    error_code ec;
    net::ip::make_address(address, ec);
    if (ec || address.empty()) {
        *pError =
            "--serve " + text + ": \"" + address + "\" is not an IP address (such as 0.0.0.0 or 127.0.0.1)";
        return false;
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) < 1 || std::stoi(port) > 65535) {
        *pError = "--serve " + text + ": the port is a number from 1 to 65535";
        return false;
    }
    pOptions->Address = address;
    pOptions->Port = static_cast<uint16_t>(std::stoi(port));
    return true;
}

bool WEB_Start(const WebOptions& options, std::string* pError) {
    if (S) {
        *pError = "the station's page is already served";
        return false;
    }
    S = std::make_unique<Server>();
    S->Options = options;
    S->Loopback = WEB_IsLoopback(options.Address);
    error_code ec;
    const std::string where = EndpointText(options.Address, options.Port);
    net::ip::address address = net::ip::make_address(options.Address, ec);
    tcp::endpoint endpoint(address, options.Port);
    if (!ec)
        S->Acceptor.open(endpoint.protocol(), ec);
#ifdef _WIN32
    // Windows' SO_REUSEADDR would let a second program take the port away: exclusive instead.
    const BOOL exclusive = TRUE;
    if (!ec && ::setsockopt(S->Acceptor.native_handle(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                            reinterpret_cast<const char*>(&exclusive), sizeof exclusive) != 0)
        ec = error_code(::WSAGetLastError(), net::error::get_system_category());
#else
    // A restarted station takes its port back at once, past the last run's closing connections.
    if (!ec)
        S->Acceptor.set_option(net::socket_base::reuse_address(true), ec);
#endif
    if (!ec)
        S->Acceptor.bind(endpoint, ec);
    if (!ec)
        S->Acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        *pError = where + ": " + ec.message();
        S.reset();
        return false;
    }
    RenderEvent();
    const uint64_t rendered = S->EventChanges;
    Accept();
    KeepStreamsAlive();
    S->IoThread = std::thread([] { S->Io.run(); });
    // From the state rendered above: a change made while the threads start is not missed.
    S->Watcher = std::thread(Watch, rendered);
    return true;
}

void WEB_Stop() {
    if (!S)
        return;
    {
        std::lock_guard<std::mutex> guard(S->StopLock);
        S->Stopping = true;
    }
    S->StopWake.notify_all();
    Station_WakeWaiters();
    S->Watcher.join();
    S->Io.stop();
    S->IoThread.join();
    // The pending operations own the connections: they and their sockets go with the I/O context.
    S.reset();
}

uint16_t WEB_Port() {
    return S ? S->Acceptor.local_endpoint().port() : 0;
}

int WEB_Clients() {
    return Clients.load();
}
