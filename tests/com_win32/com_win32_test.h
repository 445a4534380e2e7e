// The Windows build's serial port module on real COM ports under Wine. The script that runs the
// suite (scripts/test-windows.sh) maps each port to a pseudo-terminal served by a Linux process and
// names them on the command line:
//   --echo-port=N   COM<N+1> sends back every byte (com_win32_peer echo)
//   --split-port=N  COM<N+1> answers a first Frame in pieces (com_win32_peer split)
//   --split-count=F the file in which that peer says how many pieces it has sent
//   --gone-port=N   COM<N+1> goes away at the first byte it receives (com_win32_peer gone)
//   --sim-port=N    COM<N+1> is tq330-sim
//   --replug-port=N COM<N+1> is tq330-sim's --link: a USB adapter pulled after its first answer
//                   and plugged in again 1.5 s later
//   --flash-out=F   where to write the flash the programmed image must leave in the simulator
#pragma once
#include "link/com.h"
#include "tests/fakes/fake_dialog.h"

#include <chrono>
#include <string>

struct ComWin32Config {
    int EchoPort = -1;
    int SplitPort = -1;
    std::string SplitCount;
    int GonePort = -1;
    int SimPort = -1;
    int ReplugPort = -1;
    std::string FlashOut;
};
extern ComWin32Config comWin32Config;

// The line settings the dialog always passes, on the given port index.
inline PortSettings DevicePort(int index) {
    return PortSettings{57600, static_cast<uint8_t>(index), 8, 1, 0};
}

inline double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The error boxes shown so far, for a failure message.
inline std::string ErrorBoxTexts() {
    std::string texts;
    for (const fake_dialog::Event& e : fake_dialog::EventsOf("ErrorBox"))
        texts += "\"" + e.text + "\" ";
    return texts;
}
