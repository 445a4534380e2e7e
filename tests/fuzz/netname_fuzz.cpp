// The names of network ports as a user types them (rfc2217://HOST:PORT, tcp://HOST:PORT, an IPv6
// host in brackets) and the TQ330_PORTS list that holds them between colons. Checked beyond the
// sanitizers:
// - a name is taken whole or refused with a reason that starts with the name, in every size of the
//   reason's buffer; a name without "scheme://" is none, and the three readers agree on each;
// - a name taken has a host of allowed characters and a port 1 to 65535 equal to the digits written,
//   and reads the same when written out again (the scheme in capitals, the host in brackets where
//   it holds a colon);
// - the entries of a list joined by colons give the list back, and a network name taken stays one
//   entry whatever stands around it.
//
// Input: the name (or list), up to the first NUL.
#include "fuzz_line.h"
#include "link/com_internal.h"
#include "link/com_net.h"

#include <cctype>
#include <cstring>
#include <string>

namespace {

using fuzz::Check;

const char* const REASON_TAIL = "; write rfc2217://HOST:PORT or tcp://HOST:PORT";

bool EndsWith(const std::string& text, const char* pTail) {
    const size_t n = std::strlen(pTail);
    return text.size() >= n && text.compare(text.size() - n, n, pTail) == 0;
}

// The digits after the last colon as a number, 65536 for anything larger.
unsigned long PortWritten(const std::string& name) {
    unsigned long port = 0;
    for (size_t i = name.rfind(':') + 1; i < name.size(); ++i)
        port = std::min(65536ul, port * 10 + static_cast<unsigned long>(name[i] - '0'));
    return port;
}

bool HostCharacter(char c, bool bracketed) {
    if (bracketed)
        return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
}

void CheckTaken(const std::string& name, const NetAddress& a) {
    Check(a.Kind == NET_RFC2217 || a.Kind == NET_TCP);
    const std::string host = a.acHost;
    Check(!host.empty() && host.size() < NET_HOST_SIZE);
    const bool bracketed = name.find("://[") != std::string::npos;
    for (char c : host)
        Check(HostCharacter(c, bracketed));
    Check(a.Port >= 1 && a.Port == PortWritten(name));
    Check(COM_NetNameLength(name.c_str()) == name.size());

    // Written out again, in another case and with leading zeros: the same port.
    const std::string again = std::string(a.Kind == NET_TCP ? "TCP" : "RFC2217") + "://" +
                              (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":00" +
                              std::to_string(a.Port);
    NetAddress b{};
    char acWhy[256];
    Check(COM_ParseNetName(again.c_str(), &b, acWhy, sizeof acWhy));
    Check(b.Kind == a.Kind && b.Port == a.Port && host == b.acHost);
}

void CheckName(const std::string& name) {
    NetAddress a{};
    // Room for the whole reason: the name and a few words.
    std::string why(name.size() + 200, 'x');
    const bool taken = COM_ParseNetName(name.c_str(), &a, why.data(), why.size());
    const bool isNet = COM_IsNetName(name.c_str());
    std::string checkWhy(why.size(), 'x');
    const int checked = COM_CheckNetName(name.c_str(), checkWhy.data(), checkWhy.size());
    Check(checked == (!taken ? -1 : a.Kind == NET_NONE ? 0 : 1));
    Check((COM_NetNameLength(name.c_str()) == 0) == !isNet);
    Check(COM_NetNameLength(name.c_str()) <= name.size());
    if (taken && a.Kind == NET_NONE) {
        Check(!isNet);
        return;
    }
    Check(isNet);
    if (taken) {
        CheckTaken(name, a);
        Check(checkWhy[0] == '\0');
        return;
    }
    // The reason names what the user wrote and what to write instead, and is the same everywhere.
    why.resize(std::strlen(why.c_str()));
    Check(why.rfind(name, 0) == 0 && why.size() > name.size() && EndsWith(why, REASON_TAIL));
    Check(why == checkWhy.c_str());
    // A smaller buffer gets the same text cut and terminated, and nothing is written beyond it.
    for (size_t size : {size_t{1}, size_t{2}, size_t{17}, name.size() + 1}) {
        std::string small(size + 1, 'x');
        Check(!COM_ParseNetName(name.c_str(), &a, small.data(), size));
        Check(std::strlen(small.c_str()) == std::min(size - 1, why.size()));
        Check(why.compare(0, size - 1, small.c_str()) == 0 && small[size] == 'x');
    }
}

// TQ330_PORTS: the entries joined give the list back; a network entry is its name whole.
void CheckList(const std::string& value) {
    const std::vector<std::string> list = COM_ParsePortList(value.c_str());
    Check(list.size() <= COM_PORT_COUNT);
    std::string joined;
    for (size_t i = 0; i < list.size(); ++i)
        joined += (i ? ":" : "") + list[i];
    if (list.size() < COM_PORT_COUNT)
        Check(joined == value);
    else
        Check(value.compare(0, joined.size(), joined) == 0 &&
              (value.size() == joined.size() || value[joined.size()] == ':'));
    // A name taken stays whole between other entries.
    NetAddress a{};
    char acWhy[256];
    if (!list.empty() && COM_ParseNetName(list[0].c_str(), &a, acWhy, sizeof acWhy) && a.Kind != NET_NONE) {
        const std::vector<std::string> around =
            COM_ParsePortList(("/dev/ttyS0:" + list[0] + ":/dev/ttyUSB0").c_str());
        Check(around.size() == 3 && around[1] == list[0]);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size) {
    const std::string text(reinterpret_cast<const char*>(pData),
                           strnlen(reinterpret_cast<const char*>(pData), size));
    CheckName(text);
    CheckList(text);
    return 0;
}
