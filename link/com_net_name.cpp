// The names of network ports: rfc2217://HOST:PORT and tcp://HOST:PORT, HOST a name, an IPv4 address
// or an IPv6 address in brackets. A user types them, so a faulty one is told what is wrong with it.
#include "link/com_net.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

const struct {
    const char* Prefix;
    NetKind Kind;
} aSchemes[] = {{"rfc2217://", NET_RFC2217}, {"tcp://", NET_TCP}};

// The scheme's length including "://" when the name starts with one, else 0.
size_t SchemeLength(const char* name) {
    size_t i = 0;
    while (std::isalnum(static_cast<unsigned char>(name[i])) || name[i] == '+' || name[i] == '-' ||
           name[i] == '.')
        ++i;
    return i > 0 && std::strncmp(name + i, "://", 3) == 0 ? i + 3 : 0;
}

bool HostCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
}

// The host's end, from the start of the host: past the closing bracket of an IPv6 literal, else at
// the first character a host name cannot hold.
const char* HostEnd(const char* p) {
    if (*p == '[') {
        const char* pClose = std::strchr(p, ']');
        return pClose ? pClose + 1 : p + std::strlen(p);
    }
    while (HostCharacter(*p))
        ++p;
    return p;
}

bool SameText(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool Fail(char* acWhy, size_t size, const char* name, const char* what) {
    std::snprintf(acWhy, size, "%s: %s; write rfc2217://HOST:PORT or tcp://HOST:PORT", name, what);
    return false;
}

} // namespace

bool COM_IsNetName(const char* name) {
    return SchemeLength(name) != 0;
}

size_t COM_NetNameLength(const char* p) {
    size_t scheme = SchemeLength(p);
    if (scheme == 0)
        return 0;
    const char* pEnd = HostEnd(p + scheme);
    if (*pEnd == ':' && std::isdigit(static_cast<unsigned char>(pEnd[1]))) {
        ++pEnd;
        while (std::isdigit(static_cast<unsigned char>(*pEnd)))
            ++pEnd;
    }
    return static_cast<size_t>(pEnd - p);
}

bool COM_ParseNetName(const char* name, NetAddress* pAddress, char* acWhy, size_t whySize) {
    NetAddress& a = *pAddress;
    a = NetAddress{};
    size_t scheme = SchemeLength(name);
    if (scheme == 0)
        return true;
    for (const auto& s : aSchemes) {
        size_t n = std::strlen(s.Prefix);
        if (n == scheme && SameText(name, s.Prefix, n))
            a.Kind = s.Kind;
    }
    if (a.Kind == NET_NONE)
        return Fail(acWhy, whySize, name, "unknown kind of port");

    const char* pHost = name + scheme;
    const char* pEnd = HostEnd(pHost);
    const char* pText = pHost;
    size_t length = static_cast<size_t>(pEnd - pHost);
    if (*pHost == '[') {
        if (pEnd[-1] != ']')
            return Fail(acWhy, whySize, name, "no closing bracket after the IPv6 address");
        ++pText;
        length -= 2;
        for (size_t i = 0; i < length; ++i)
            if (!std::isxdigit(static_cast<unsigned char>(pText[i])) && pText[i] != ':' && pText[i] != '.')
                return Fail(acWhy, whySize, name, "not an IPv6 address in the brackets");
    }
    if (length == 0)
        return Fail(acWhy, whySize, name, *pEnd == ':' || *pEnd == '\0' ? "no host" : "bad host name");
    if (length >= sizeof a.acHost)
        return Fail(acWhy, whySize, name, "host name too long");
    if (*pEnd == '\0')
        return Fail(acWhy, whySize, name, "no port number");
    if (*pEnd != ':')
        return Fail(acWhy, whySize, name, "bad host name");
    const char* pPort = pEnd + 1;
    if (*pPort == '\0')
        return Fail(acWhy, whySize, name, "no port number");
    unsigned long port = 0;
    const char* p = pPort;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p)
        port = port > 65535 ? port : port * 10 + static_cast<unsigned long>(*p - '0');
    if (p == pPort)
        return Fail(acWhy, whySize, name, "the port is not a number");
    if (*p != '\0')
        return Fail(acWhy, whySize, name, "unexpected text after the port number");
    if (port == 0 || port > 65535)
        return Fail(acWhy, whySize, name, "port number not in 1 to 65535");
    std::memcpy(a.acHost, pText, length);
    a.acHost[length] = '\0';
    a.Port = static_cast<uint16_t>(port);
    return true;
}

int COM_CheckNetName(const char* name, char* acWhy, size_t whySize) {
    NetAddress address;
    if (whySize > 0)
        acWhy[0] = '\0';
    if (!COM_ParseNetName(name, &address, acWhy, whySize))
        return -1;
    return address.Kind == NET_NONE ? 0 : 1;
}
