// Ends the children of tq330-flash.exe's several-port runner as a crash would, for
// tests/cli/wine_flash_test.sh: waits until COUNT children of a process named NAME run, then
// terminates each with STATUS (an exception's NTSTATUS such as 0xC0000409, or Ctrl-C's 0xC000013A),
// the exit code their parent then reads. A test program of the Windows build; never shipped.
//   win32_end_child NAME COUNT STATUS
#include "platform/win32.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <tlhelp32.h>
#include <vector>

namespace {

// The processes named `name` whose parent is named so too.
std::vector<DWORD> ChildrenOf(const char* name) {
    std::vector<PROCESSENTRY32> named;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (lstrcmpiA(entry.szExeFile, name) == 0)
            named.push_back(entry);
    }
    CloseHandle(snapshot);
    std::vector<DWORD> children;
    for (const PROCESSENTRY32& child : named) {
        for (const PROCESSENTRY32& parent : named) {
            if (child.th32ParentProcessID == parent.th32ProcessID)
                children.push_back(child.th32ProcessID);
        }
    }
    return children;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: win32_end_child NAME COUNT STATUS\n");
        return 2;
    }
    const size_t count = std::strtoul(argv[2], nullptr, 0);
    const UINT status = static_cast<UINT>(std::strtoul(argv[3], nullptr, 0));
    for (int tries = 0; tries < 600; ++tries) {
        std::vector<DWORD> children = ChildrenOf(argv[1]);
        if (children.size() >= count) {
            for (DWORD pid : children) {
                HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
                if (!h || !TerminateProcess(h, status)) {
                    std::fprintf(stderr, "could not end process %lu\n", pid);
                    return 1;
                }
                CloseHandle(h);
            }
            std::printf("ended %zu children of %s with 0x%X\n", children.size(), argv[1], status);
            return 0;
        }
        Sleep(100);
    }
    std::fprintf(stderr, "%zu children of %s did not appear within 60 s\n", count, argv[1]);
    return 1;
}
