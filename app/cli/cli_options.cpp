#include "app/cli/cli_options.h"

#include "app/station/station_web.h"
#include "link/com.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

const char acHelp[] =
    "Usage: tq330-flash [OPTION]...\n"
    "Writes the TQ330's firmware through its boot loader on a serial port, as the TQ330 Updater window\n"
    "does: clear, program, make valid, compare the CRC-16, start the application.\n"
    "\n"
    "  --port PORT       the serial port: a device path (/dev/ttyUSB0) or COMn (the n-th port of the\n"
    "                    port table: TQ330_PORTS, else the serial devices found; Windows: COMn).\n"
    "                    A device on the network (Linux and Windows):\n"
    "                      rfc2217://HOST:PORT  a serial device server speaking RFC 2217 (Telnet\n"
    "                                           COM Port Control, ser2net's telnet(rfc2217)): the\n"
    "                                           line is set to 57600 8O1 by negotiation\n"
    "                      tcp://HOST:PORT      raw TCP: no negotiation, the server's own line\n"
    "                                           settings apply (set them to 57600 8O1 there)\n"
    "                    Repeat it to update several devices at once, one process per port.\n"
    "                    Without it: the first port found, as the window opens it.\n"
    "  --list            list the serial ports found (path, by-id name, USB ids, serial number,\n"
    "                    product, busy) and exit\n"
    "  --firmware FILE   write this S-record file instead of the firmware built into the program\n"
    "  --wait SECONDS    how long to wait for the boot loader to answer (default 60); power-cycle\n"
    "                    the device when asked\n"
    "  --check           only compare the device's CRC with the firmware's; write nothing\n"
    "  --skip-current    update only when the device's CRC differs from the firmware's\n"
    "  --loop            production line: after each device wait for the next one (power-cycle\n"
    "                    or plug it in); Ctrl-C ends with a summary\n"
    "  --json            one JSON object a line on standard output for every event; the human\n"
    "                    output goes to standard error\n"
    "  --trace FILE      write every frame sent and every byte received, time-stamped, to FILE\n"
    "  --record FILE     append one JSON line per device attempt to FILE (time, host, port, the\n"
    "                    device's identify record, the firmware's size, CRC-16 and SHA-256, the\n"
    "                    CRCs read, result, failed step, retries, duration), each flushed to disk\n"
    "                    before the next device; a line that cannot be written stops (exit 3)\n"
    "  --serve [ADDRESS:]PORT\n"
    "                    the station's page for the line while the ports are updated: every port's\n"
    "                    state, progress, result and counters live in a browser (http://ADDRESS:PORT/),\n"
    "                    /metrics for Prometheus and /state as JSON; read-only. ADDRESS is 127.0.0.1\n"
    "                    unless given (0.0.0.0: the line's network too); a port it cannot listen on\n"
    "                    ends before any device is touched (exit 3)\n"
    "  --doctor          look at each port (--port, else every port found) for what stands in\n"
    "                    the way of an update, each finding with its fix in one line, and ask\n"
    "                    the boot loader who it is (within --wait, default 5 s here); writes\n"
    "                    nothing to the device and changes nothing; exit 0 when nothing stands\n"
    "                    in the way, 1 otherwise\n"
    "  --quiet           print only the result line\n"
    "  --version         print the program's version and the firmware's CRC-16 and size\n"
    "  --help            show this text\n"
    "\n"
    "Ctrl-C cancels like the window's Cancel button; a second Ctrl-C ends at once.\n"
    "\n"
    "Exit codes:\n"
    "  0    updated (with --check: the device already holds this firmware)\n"
    "  1    not updated (with --check: the device holds other firmware, or gave no CRC)\n"
    "  2    no device answered within --wait\n"
    "  3    the port could not be opened or set up, or the --record file could not be written\n"
    "       (or --serve's port could not be listened on)\n"
    "  64   usage error\n"
    "  65   the firmware file is missing or faulty\n"
    "  130  interrupted (Ctrl-C) before the update was verified\n"
    "Several ports: the worst of the ports' codes.\n";

bool ParseSeconds(const char* pText, int* pValue) {
    if (pText == nullptr || *pText < '0' || *pText > '9')
        return false;
    errno = 0;
    char* pEnd = nullptr;
    long value = std::strtol(pText, &pEnd, 10);
    if (errno != 0 || *pEnd != '\0' || value < 0 || value > 24L * 3600)
        return false;
    *pValue = static_cast<int>(value);
    return true;
}

bool TakePort(const std::string& value, CliOptions* pOptions, std::string* pError) {
    if (value.empty()) {
        *pError = "--port needs a device path or COMn";
        return false;
    }
    char acWhy[320];
    if (COM_CheckNetName(value.c_str(), acWhy, sizeof acWhy) < 0) {
        *pError = std::string("--port ") + acWhy;
        return false;
    }
    pOptions->Ports.push_back(value);
    return true;
}

bool TakeServe(const std::string& value, CliOptions* pOptions, std::string* pError) {
    WebOptions web;
    if (!WEB_ParseAddress(value, &web, pError))
        return false;
    pOptions->Serve = value;
    return true;
}

bool TakeWait(const std::string& value, CliOptions* pOptions, std::string* pError) {
    if (!ParseSeconds(value.c_str(), &pOptions->WaitSeconds)) {
        *pError = "--wait needs a whole number of seconds, not '" + value + "'";
        return false;
    }
    pOptions->WaitGiven = true;
    return true;
}

// One row per option, each with one of: the flag a switch sets, the field a file's name goes to
// (it must not be empty), or the function that checks and keeps any other value. A switch takes no
// value ("--json=yes" is refused) but --help, which wins whatever comes with it; every other option
// takes one, as "--name value" or "--name=value".
struct Option {
    const char* pName;
    bool CliOptions::*pSwitch = nullptr;
    std::string CliOptions::*pFile = nullptr;
    bool (*pfnTake)(const std::string& value, CliOptions* pOptions, std::string* pError) = nullptr;
    bool IgnoresValue = false;
};

const Option aOptions[] = {
    {.pName = "--port", .pfnTake = TakePort},
    {.pName = "--firmware", .pFile = &CliOptions::Firmware},
    {.pName = "--wait", .pfnTake = TakeWait},
    {.pName = "--trace", .pFile = &CliOptions::Trace},
    {.pName = "--record", .pFile = &CliOptions::Record},
    {.pName = "--serve", .pfnTake = TakeServe},
    {.pName = "--doctor", .pSwitch = &CliOptions::Doctor},
    {.pName = "--check", .pSwitch = &CliOptions::Check},
    {.pName = "--skip-current", .pSwitch = &CliOptions::SkipCurrent},
    {.pName = "--loop", .pSwitch = &CliOptions::Loop},
    {.pName = "--json", .pSwitch = &CliOptions::Json},
    {.pName = "--quiet", .pSwitch = &CliOptions::Quiet},
    {.pName = "--list", .pSwitch = &CliOptions::List},
    {.pName = "--version", .pSwitch = &CliOptions::Version},
    {.pName = "--help", .pSwitch = &CliOptions::Help, .IgnoresValue = true},
    {.pName = "-h", .pSwitch = &CliOptions::Help, .IgnoresValue = true},
};

const Option* FindOption(const std::string& name) {
    for (const Option& option : aOptions)
        if (name == option.pName)
            return &option;
    return nullptr;
}

} // namespace

const char* CLI_HelpText() {
    return acHelp;
}

bool CLI_ParseOptions(int argc, char** argv, CliOptions* pOptions, std::string* pError) {
    CliOptions& o = *pOptions;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasInline = false;
        // --name=value as well as --name value.
        if (arg.rfind("--", 0) == 0) {
            size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasInline = true;
            }
        }
        const Option* pOption = FindOption(arg);
        if (pOption == nullptr) {
            *pError = "unknown option '" + arg + "'";
            return false;
        }
        if (pOption->pSwitch != nullptr) {
            if (hasInline && !pOption->IgnoresValue) {
                *pError = arg + " takes no value";
                return false;
            }
            o.*pOption->pSwitch = true;
            continue;
        }
        if (!hasInline) {
            if (i + 1 >= argc) {
                *pError = arg + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (pOption->pFile != nullptr) {
            if (value.empty()) {
                *pError = arg + " needs a file";
                return false;
            }
            o.*pOption->pFile = value;
        } else if (!pOption->pfnTake(value, &o, pError)) {
            return false;
        }
    }
    if (o.Check && (o.SkipCurrent || o.Loop)) {
        *pError = "--check writes nothing: it goes with neither --skip-current nor --loop";
        return false;
    }
    if (o.Doctor && (o.Check || o.SkipCurrent || o.Loop || o.List || !o.Record.empty())) {
        *pError =
            "--doctor only looks: it goes with none of --check, --skip-current, --loop, --list, --record";
        return false;
    }
    if (!o.Serve.empty() && (o.Doctor || o.List)) {
        *pError = "--serve shows updates: it goes with neither --doctor nor --list";
        return false;
    }
    if (o.Doctor && !o.WaitGiven)
        o.WaitSeconds = 5;
    for (size_t a = 0; a < o.Ports.size(); ++a)
        for (size_t b = a + 1; b < o.Ports.size(); ++b)
            if (o.Ports[a] == o.Ports[b]) {
                *pError = "port " + o.Ports[a] + " named twice";
                return false;
            }
    return true;
}

std::vector<std::string> CLI_ChildArguments(const CliOptions& o, const std::string& port) {
    std::vector<std::string> args = {"--port", port, "--json", "--wait", std::to_string(o.WaitSeconds)};
    if (!o.Firmware.empty())
        args.insert(args.end(), {"--firmware", o.Firmware});
    if (o.Check)
        args.push_back("--check");
    if (o.SkipCurrent)
        args.push_back("--skip-current");
    if (o.Loop)
        args.push_back("--loop");
    // Every port appends to the same record: each line is one write to a file opened for appending.
    if (!o.Record.empty())
        args.insert(args.end(), {"--record", o.Record});
    if (!o.Trace.empty()) {
        // One trace per port: the port's last path element after the file's name (HOST_PORT of a
        // network port: no file name of Windows may hold a colon).
        std::string tag =
            port.substr(port.find_last_of("/\\") == std::string::npos ? 0 : port.find_last_of("/\\") + 1);
        std::replace(tag.begin(), tag.end(), ':', '_');
        args.insert(args.end(), {"--trace", o.Trace + "." + tag});
    }
    return args;
}
