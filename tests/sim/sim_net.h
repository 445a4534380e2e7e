// The simulator behind a network port, served by real, independently written programs: Debian's
// ser2net (a Telnet RFC 2217 accepter, or a raw one) and socat (raw TCP). Each is started with a
// configuration of its own on free loopback ports, so tests may run side by side.
#pragma once
#include <string>
#include <vector>

// Ended with the object (and, should the test process be killed, with that process).
struct NetServer {
    NetServer() = default;
    NetServer(const NetServer&) = delete;
    NetServer& operator=(const NetServer&) = delete;
    ~NetServer();

    int Pid = -1;
    std::string Folder;     // the configuration, the pid file and the server's output
    std::vector<int> Ports; // one TCP port per device, in the order given
    std::vector<std::string> Devices;
    bool Telnet = true; // rfc2217:// (ser2net's telnet(rfc2217) accepter) or tcp://
    bool Socat = false;
};

// Starts ser2net with one connection per device: the accepter on a free 127.0.0.1 port, the
// connector on the device at 9600n81, which is not the TQ330's line, so that only an RFC 2217
// negotiation makes it 57600 8O1 (telnet), or raw TCP (telnet false; the line then stays wrong
// unless the test sets it). chardelay off, one connection at a time. False when it does not listen
// within a few seconds.
bool Net_StartSer2net(const std::vector<std::string>& devices, NetServer* pServer, bool telnet = true);
// socat between a free 127.0.0.1 port and the device, with the device's line set to 57600 8O1:
// raw TCP, for one connection.
bool Net_StartSocat(const std::string& device, NetServer* pServer);
// Starts the server again as it was configured (the same ports).
bool Net_Restart(NetServer* pServer);
// Ends it (SIGTERM, then SIGKILL after a few seconds); harmless when not running.
void Net_Stop(NetServer* pServer);
// "rfc2217://127.0.0.1:PORT" or "tcp://127.0.0.1:PORT" of the index-th device.
std::string Net_Url(const NetServer& server, size_t index = 0);
// A loopback port nobody listens on at the moment of the call.
int Net_FreePort();
