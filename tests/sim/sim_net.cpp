#include "sim_net.h"

#include "sim_harness.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Whether the kernel lists a socket listening on 127.0.0.1:port (state 0A in /proc/net/tcp):
// looking there, rather than connecting, leaves the server's one connection untouched.
bool Listening(int port) {
    std::ifstream table("/proc/net/tcp");
    char acWanted[32];
    std::snprintf(acWanted, sizeof acWanted, "0100007F:%04X", static_cast<unsigned>(port));
    std::string sl, local, remote, state;
    std::string line;
    std::getline(table, line); // the heading
    while (table >> sl >> local >> remote >> state) {
        std::getline(table, line);
        if (local == acWanted && state == "0A")
            return true;
    }
    return false;
}

bool WaitListening(NetServer& s) {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    for (int port : s.Ports) {
        while (!Listening(port)) {
            int status = 0;
            if (waitpid(s.Pid, &status, WNOHANG) == s.Pid) {
                s.Pid = -1; // ended: the port was taken, or the configuration refused
                return false;
            }
            if (Clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    return true;
}

int Spawn(std::vector<std::string> args, const std::string& outPath) {
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // Ended with the test process also when that is killed (a test past its time): a server
        // left behind would keep its port and its device.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (out < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)
            _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

void WriteSer2netConfig(const NetServer& s) {
    std::ofstream yaml(s.Folder + "/ser2net.yaml");
    for (size_t i = 0; i < s.Devices.size(); ++i) {
        yaml << "connection: &tq330_" << i << "\n"
             << "    accepter: " << (s.Telnet ? "telnet(rfc2217),tcp," : "tcp,") << "127.0.0.1," << s.Ports[i]
             << "\n"
             << "    connector: serialdev," << s.Devices[i] << ",9600n81,local\n"
             << "    options:\n"
             << "        chardelay: false\n"
             << "        max-connections: 1\n";
    }
}

bool Launch(NetServer* p) {
    std::vector<std::string> args;
    if (p->Socat) {
        args = {"/usr/bin/socat", "TCP-LISTEN:" + std::to_string(p->Ports[0]) + ",bind=127.0.0.1,reuseaddr",
                "FILE:" + p->Devices[0] + ",raw,echo=0,b57600,cs8,parenb=1,parodd=1,cstopb=0"};
    } else {
        // -n: in the foreground, -u: no UUCP lock files, -P: a pid file of its own (the default one
        // belongs to the system's service, which the tests never need).
        args = {"/usr/sbin/ser2net", "-n", "-u", "-c", p->Folder + "/ser2net.yaml", "-P", p->Folder + "/pid"};
    }
    p->Pid = Spawn(args, p->Folder + "/server.out");
    if (p->Pid > 0 && WaitListening(*p))
        return true;
    Net_Stop(p);
    return false;
}

} // namespace

int Net_FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

NetServer::~NetServer() {
    Net_Stop(this);
}

bool Net_StartSer2net(const std::vector<std::string>& devices, NetServer* pServer, bool telnet) {
    NetServer& s = *pServer;
    Net_Stop(&s);
    s.Socat = false;
    s.Folder = Sim_TempDir();
    s.Devices = devices;
    s.Telnet = telnet;
    // A port another test takes between our look and ser2net's bind makes ser2net fail: try again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        s.Ports.clear();
        for (size_t i = 0; i < devices.size(); ++i)
            s.Ports.push_back(Net_FreePort());
        WriteSer2netConfig(s);
        if (Launch(&s))
            return true;
    }
    return false;
}

bool Net_StartSocat(const std::string& device, NetServer* pServer) {
    NetServer& s = *pServer;
    Net_Stop(&s);
    s.Folder = Sim_TempDir();
    s.Devices = {device};
    s.Telnet = false;
    s.Socat = true;
    for (int attempt = 0; attempt < 3; ++attempt) {
        s.Ports = {Net_FreePort()};
        if (Launch(&s))
            return true;
    }
    return false;
}

bool Net_Restart(NetServer* pServer) {
    Net_Stop(pServer);
    return Launch(pServer);
}

void Net_Stop(NetServer* pServer) {
    if (pServer->Pid <= 0)
        return;
    kill(pServer->Pid, SIGTERM);
    auto deadline = Clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (waitpid(pServer->Pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pServer->Pid, SIGKILL);
            waitpid(pServer->Pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pServer->Pid = -1;
}

std::string Net_Url(const NetServer& server, size_t index) {
    return std::string(server.Telnet ? "rfc2217" : "tcp") +
           "://127.0.0.1:" + std::to_string(server.Ports[index]);
}
