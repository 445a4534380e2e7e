// Private to the COM module: its network ports. The port names (rfc2217://HOST:PORT and
// tcp://HOST:PORT), the Telnet and COM-PORT-OPTION codec (pure functions over byte buffers, so a test
// can call them without a socket), the socket layer below them (POSIX sockets or Winsock, chosen at
// build time) and the backend functions the COM module's state machine calls for such a port.
#pragma once
#include "link/com_internal.h"

#include <chrono>
#include <cstddef>
#include <cstdint>

// ---- Port names -----------------------------------------------------------------------------------

enum NetKind : uint8_t {
    NET_NONE,    // not a network name: a device path or COMn
    NET_RFC2217, // Telnet with COM-PORT-OPTION: the line set by negotiation
    NET_TCP,     // raw bytes: the server's own line settings apply
};
constexpr size_t NET_HOST_SIZE = 256;
struct NetAddress {
    NetKind Kind;
    char acHost[NET_HOST_SIZE]; // without the brackets of an IPv6 literal
    uint16_t Port;
};

// Reads a port name. A name without "scheme://" is no network name: true with Kind NET_NONE. A
// network name is true when well formed, else false with the reason in acWhy ("no port number in
// ...: write rfc2217://HOST:PORT").
bool COM_ParseNetName(const char* name, NetAddress* pAddress, char* acWhy, size_t whySize);
// True when the name starts with a scheme ("xxx://"), well formed or not.
bool COM_IsNetName(const char* name);
// The length of the network name at the start of a colon-separated list entry: the scheme, the host
// (an IPv6 literal in brackets) and ":PORT" when digits follow; 0 when the entry is no network name.
size_t COM_NetNameLength(const char* p);

// ---- Telnet (RFC 854, 855, 856, 858) and COM-PORT-OPTION (RFC 2217) -------------------------------

constexpr uint8_t TELNET_SE = 240;
constexpr uint8_t TELNET_NOP = 241;
constexpr uint8_t TELNET_SB = 250;
constexpr uint8_t TELNET_WILL = 251;
constexpr uint8_t TELNET_WONT = 252;
constexpr uint8_t TELNET_DO = 253;
constexpr uint8_t TELNET_DONT = 254;
constexpr uint8_t TELNET_IAC = 255;
constexpr uint8_t TELOPT_BINARY = 0;
constexpr uint8_t TELOPT_ECHO = 1;
constexpr uint8_t TELOPT_SGA = 3;
constexpr uint8_t TELOPT_COM_PORT = 44;

// COM-PORT-OPTION commands from the client; the server answers each with the code + 100.
constexpr uint8_t CPO_SET_BAUDRATE = 1;
constexpr uint8_t CPO_SET_DATASIZE = 2;
constexpr uint8_t CPO_SET_PARITY = 3;
constexpr uint8_t CPO_SET_STOPSIZE = 4;
constexpr uint8_t CPO_SET_CONTROL = 5;
constexpr uint8_t CPO_PURGE_DATA = 12;
constexpr uint8_t CPO_SERVER = 100;
constexpr uint8_t CPO_COMMANDS = 13;
// SET-CONTROL values: outbound flow control none, DTR on, RTS on.
constexpr uint8_t CPO_FLOW_NONE = 1;
constexpr uint8_t CPO_DTR_ON = 8;
constexpr uint8_t CPO_RTS_ON = 11;
constexpr uint8_t CPO_PURGE_RECEIVE = 1; // the server's buffer of what the device sent

// Where one side of an option stands: never mentioned, asked for by us, agreed, refused.
enum TelnetOptionState : uint8_t { TN_OFF, TN_ASKED, TN_ON, TN_REFUSED };

// One connection's Telnet state: the negotiation of each option on both sides, the receive
// decoder's place in a command split between reads, the replies owed to the server, and the
// server's answers to COM-PORT-OPTION commands.
struct TelnetState {
    uint8_t aUs[256];  // our side of each option: WILL / WONT
    uint8_t aHim[256]; // the server's side: DO / DONT
    uint8_t RxState;   // where the decoder stands (private to com_telnet.cpp)
    uint8_t Verb;      // WILL, WONT, DO or DONT waiting for its option byte
    uint8_t acSub[16]; // a subnegotiation's bytes after IAC SB, 0xFF undoubled
    uint8_t SubLength;
    bool SubOverflow;   // longer than acSub: not one we asked for, ignored
    uint8_t acOwed[96]; // replies to the server's requests, sent ahead of the next write
    size_t OwedLength;
    // COM-PORT-OPTION answers: which command has one, its value (the baud rate in full, the other
    // settings in their one byte), and the SET-CONTROL answers by group (0: none yet).
    uint16_t AnsweredMask;
    uint32_t aAnswer[CPO_COMMANDS];
    uint8_t FlowAnswer, DtrAnswer, RtsAnswer;
};

// Fresh state; with negotiate, pOut gets our requests (WILL and DO BINARY, WILL and DO SGA, WILL
// COM-PORT-OPTION) and their length is returned (at most 15 bytes). Without, 0.
size_t Telnet_Start(TelnetState& t, bool negotiate, uint8_t* pOut);
// Decodes what the server sent: the data bytes go to pData (never more than n), the commands are
// taken out of it, answered where the negotiation asks (the answers wait in acOwed) and recorded.
// A command split between two calls is finished by the second.
size_t Telnet_Receive(TelnetState& t, const uint8_t* pIn, size_t n, uint8_t* pData);
// Copies data into pOut (room for 2 * n) with every 0xFF doubled; returns the length.
size_t Telnet_Escape(const uint8_t* pIn, size_t n, uint8_t* pOut);
// Moves the owed replies to pOut (room for sizeof acOwed); returns their length.
size_t Telnet_TakeOwed(TelnetState& t, uint8_t* pOut);

enum SetupResult {
    SETUP_PENDING,  // line settings still unanswered
    SETUP_LINE_SET, // the line is confirmed; SET-CONTROL answers still missing
    SETUP_DONE,
    SETUP_FAILED,
};
// Forgets earlier answers and writes the line set-up for the settings to pOut (at most 64 bytes):
// SET-BAUDRATE, SET-DATASIZE, SET-PARITY, SET-STOPSIZE, SET-CONTROL flow none, DTR on, RTS on.
// False when COM-PORT-OPTION has no code for the settings.
bool Rfc2217_BeginSetup(TelnetState& t, const PortSettings& s, uint8_t* pOut, size_t* pLength);
// PURGE-DATA for the server's receive buffer (7 bytes).
size_t Rfc2217_Purge(uint8_t* pOut);
// Judges the server's answers so far. FAILED, with the reason in acWhy, when the server refused
// COM-PORT-OPTION or BINARY, or applied other settings than asked (the values named). With final
// (the time for answers is up) a line setting still unanswered fails, and a SET-CONTROL request
// still unanswered (a device without modem lines) is named in acWarning ("" when none) and the
// set-up is DONE all the same.
SetupResult Rfc2217_CheckSetup(const TelnetState& t, const PortSettings& s, bool final, char* acWhy,
                               size_t whySize, char* acWarning, size_t warningSize);

// ---- Sockets (com_net_posix.cpp, com_net_win32.cpp) -----------------------------------------------

using NetSocket = intptr_t;
constexpr NetSocket NET_NO_SOCKET = -1;
enum NetIo { NET_IO_DATA, NET_IO_NONE, NET_IO_GONE };

// The clock the waits below are measured on, and so every deadline of a network port: the steady
// clock, read here so that a scripted server in place of this layer can keep time of its own.
using NetClock = std::chrono::steady_clock;
NetClock::time_point NetSocket_Now();

// Connects to the host within timeoutMs (every address the name has, in turn), non-blocking, with
// TCP_NODELAY. NET_NO_SOCKET with the reason ("connection refused", "no answer within 3 s").
NetSocket NetSocket_Connect(const char* host, uint16_t port, uint32_t timeoutMs, char* acWhy, size_t whySize);
void NetSocket_Close(NetSocket s);
// Waits until the socket has something to read (data, or the peer's close) or timeoutMs passed;
// false on time-out.
bool NetSocket_WaitReadable(NetSocket s, uint32_t timeoutMs);
// Takes what has arrived, up to size bytes: DATA with *pGot > 0, NONE when nothing is there yet,
// GONE when the peer closed or reset the connection.
NetIo NetSocket_Receive(NetSocket s, uint8_t* pData, size_t size, size_t* pGot);
// Sends every byte, waiting for room at most stallMs at a time; false when the connection is gone
// or stalled.
bool NetSocket_SendAll(NetSocket s, const uint8_t* pData, size_t size, uint32_t stallMs);

// ---- The backend (com_net.cpp): the operations of a network port's ComBackend -----------------

// Connects to the server the port's name gives (at most a few seconds) and, for rfc2217://, asks for
// the Telnet options. COM_NO_HANDLE when the name is faulty or the server does not accept; the
// reason is kept (COM_GetPortNotes). Each handle is a connection of its own.
ComHandle COM_NetOpen(int index);
void COM_NetClose(ComHandle h);
bool COM_NetSetupQueues(ComHandle h, uint32_t inSize, uint32_t outSize);
bool COM_NetSetTimeouts(ComHandle h, const ComTimeouts& t);
// rfc2217://: the line set-up by negotiation, every answer checked; tcp://: nothing to set.
bool COM_NetSetLine(ComHandle h, const PortSettings& s);
// COM_IO_GONE when the server closed or reset the connection, or stopped reading.
ComIo COM_NetWrite(ComHandle h, const uint8_t* pData, uint32_t count);
void COM_NetDiscardInput(ComHandle h);
ComIo COM_NetRead(ComHandle h, uint8_t* pData, uint32_t count, const ComTimeouts& t, uint32_t* pGot);
// Why the last open failed, "" when it did not.
void COM_NetProblem(char* acOut, size_t size);
