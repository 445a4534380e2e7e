// What the station's web side answers to one request, decided from the request's words alone: the
// server (station_web.cpp) only moves bytes. Every answer carries the same safety headers.
#pragma once
#include <string>
#include <utility>
#include <vector>

struct WebRequest {
    std::string Method; // as sent: "GET", "HEAD", "BREW"
    std::string Target; // as sent: "/state?x=1"
    int Version = 11;   // 10 or 11
    bool HasHost = false;
    std::string Host;
    bool Loopback = true; // the server listens on a loopback address
};

struct WebAnswer {
    int Status = 200;
    std::string ContentType;
    std::string Body;
    bool Events = false;                                      // /events: the body is the stream that follows
    bool Head = false;                                        // HEAD: the body's length, not the body
    std::vector<std::pair<std::string, std::string>> Headers; // besides the content type and length
};

// The answer to a request the parser read whole. /events and /state, /metrics read the station.
WebAnswer WEB_Answer(const WebRequest& request);
// The answer to a request that could not be read: 400, 413 or 431 (status), and 503 when full.
WebAnswer WEB_ErrorAnswer(int status);
// The safety headers every answer carries.
const std::vector<std::pair<std::string, std::string>>& WEB_SafetyHeaders();
