// The station's web side: the page, /events (Server-Sent Events), /state and /metrics, served on
// a thread of its own from snapshots of the station (app/station/station.h). Read-only: no request
// changes anything. The update path does not know it exists.
#pragma once
#include <cstdint>
#include <string>

struct WebOptions {
    std::string Address = "127.0.0.1"; // an IPv4 or IPv6 address literal
    uint16_t Port = 8330;              // 0: any free port (WEB_Port says which)
    int MaxClients = 256;              // connections at once; more are answered 503 and closed
    int RequestTimeoutMs = 15000;      // for a request's head, and between requests
    int WriteTimeoutMs = 10000;        // a client that takes longer to take one write is dropped
    int PushIntervalMs = 200;          // the least time between two pushes of the state
    int KeepAliveMs = 15000;           // a comment on idle event streams
};

// --serve's value, "[ADDRESS:]PORT": ADDRESS an IPv4 address, "[IPv6]" or "localhost"; PORT 1 to
// 65535. False with a one-line reason.
bool WEB_ParseAddress(const std::string& text, WebOptions* pOptions, std::string* pError);

// Listens at once, here, and serves on a thread of its own from then on. False with a one-line
// reason ("127.0.0.1:8330: Address already in use") when it cannot listen: the caller stops before
// any device is touched. Only one server at a time.
bool WEB_Start(const WebOptions& options, std::string* pError);
// Stops serving, closes every connection and joins the thread. Nothing when not started.
void WEB_Stop();
uint16_t WEB_Port();
// True when the address is a loopback one: only then is the Host header checked (DNS rebinding).
bool WEB_IsLoopback(const std::string& address);
// The connections open now (for tests and the benchmark).
int WEB_Clients();
