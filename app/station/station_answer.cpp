#include "app/station/station_answer.h"

#include "app/station/station.h"
#include "app/station/station_page.h"
#include "app/station/station_render.h"

#include <algorithm>
#include <cctype>

namespace {

// The page's own origin only: no inline script or style, no frames, no forms, nothing from elsewhere.
const char* const CSP = "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                        "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

const char* ReasonText(int status) {
    switch (status) {
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Payload Too Large";
    case 421:
        return "Misdirected Request";
    case 431:
        return "Request Header Fields Too Large";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

WebAnswer Text(int status, const std::string& type, std::string body) {
    WebAnswer a;
    a.Status = status;
    a.ContentType = type;
    a.Body = std::move(body);
    return a;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A browser sends the name it was pointed at: on a loopback address only these names may be ours.
// Any other name is a page elsewhere whose name was pointed at this machine (DNS rebinding).
bool IsLoopbackHost(const std::string& host) {
    std::string name = Lower(host);
    if (!name.empty() && name[0] == '[') {
        size_t close = name.find(']');
        if (close == std::string::npos)
            return false;
        std::string rest = name.substr(close + 1);
        name = name.substr(0, close + 1);
        if (!rest.empty() && (rest[0] != ':' || rest.find_first_not_of("0123456789", 1) != std::string::npos))
            return false;
    } else {
        size_t colon = name.find(':');
        if (colon != std::string::npos) {
            if (name.find_first_not_of("0123456789", colon + 1) != std::string::npos)
                return false;
            name.erase(colon);
        }
    }
    return name == "localhost" || name == "127.0.0.1" || name == "[::1]";
}

} // namespace

const std::vector<std::pair<std::string, std::string>>& WEB_SafetyHeaders() {
    static const std::vector<std::pair<std::string, std::string>> headers = {
        {"Content-Security-Policy", CSP},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
        {"Cross-Origin-Resource-Policy", "same-origin"},
        {"Cross-Origin-Opener-Policy", "same-origin"},
        {"Cache-Control", "no-store"},
    };
    return headers;
}

WebAnswer WEB_ErrorAnswer(int status) {
    WebAnswer a =
        Text(status, "text/plain; charset=utf-8", std::to_string(status) + " " + ReasonText(status) + "\n");
    if (status == 405)
        a.Headers.push_back({"Allow", "GET, HEAD"});
    if (status == 503)
        a.Headers.push_back({"Retry-After", "5"});
    return a;
}

WebAnswer WEB_Answer(const WebRequest& request) {
    // HTTP/1.1 asks for a Host; and on loopback it must be a loopback name.
    if (request.Version >= 11 && !request.HasHost)
        return WEB_ErrorAnswer(400);
    if (request.Loopback && request.HasHost && !IsLoopbackHost(request.Host))
        return WEB_ErrorAnswer(421);
    const bool head = request.Method == "HEAD";
    if (request.Method != "GET" && !head)
        return WEB_ErrorAnswer(405);
    if (request.Target.empty() || request.Target[0] != '/')
        return WEB_ErrorAnswer(400); // "*", or a proxy's absolute form: this is no proxy
    // A fixed table: nothing is looked up on disk, so "/../" is one more unknown path.
    std::string path = request.Target.substr(0, request.Target.find('?'));
    WebAnswer a;
    if (path == "/")
        a = Text(200, "text/html; charset=utf-8", std::string(acStationHtml, StationHtmlLength));
    else if (path == "/station.css")
        a = Text(200, "text/css; charset=utf-8", std::string(acStationCss, StationCssLength));
    else if (path == "/station.js")
        a = Text(200, "text/javascript; charset=utf-8", std::string(acStationJs, StationJsLength));
    else if (path == "/favicon.svg")
        a = Text(200, "image/svg+xml", std::string(acStationIcon, StationIconLength));
    else if (path == "/state")
        a = Text(200, "application/json", Station_StateJson(Station_Snapshot()));
    else if (path == "/metrics")
        a = Text(200, "text/plain; version=0.0.4; charset=utf-8", Station_Metrics(Station_Snapshot()));
    else if (path == "/events") {
        a = Text(200, "text/event-stream", "");
        a.Events = true;
    } else
        return WEB_ErrorAnswer(404);
    a.Head = head;
    return a;
}
