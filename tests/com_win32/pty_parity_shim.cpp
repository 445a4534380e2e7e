// Preloaded into Wine (LD_PRELOAD) by scripts/test-windows.sh, so that a pseudo-terminal can stand in
// for a serial line with parity. The pty driver has no parity bit: it takes the settings but clears
// PARENB, and glibc's tcsetattr reports EINVAL when that was the only difference it saw, that is when
// the line already held every other setting. Wine turns that into a failed SetCommState: the first
// open of a fresh pty with the program's settings (odd parity) works, every later open of the same
// pty, while its other end keeps it, fails. On a pty slave, a setting that took effect in everything
// but PARENB counts as done here; every other device and every other difference still fails.
#include <dlfcn.h>
#include <errno.h> // C headers only: the i386 build has no 32-bit C++ library
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

namespace {

// Unix98 pty slaves: majors 136 to 143.
bool IsPtySlave(int fd) {
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) && major(info.st_rdev) >= 136 &&
           major(info.st_rdev) <= 143;
}

} // namespace

extern "C" int tcsetattr(int fd, int action, const struct termios* pWanted) {
    using Fn = int (*)(int, int, const struct termios*);
    static const Fn pfnReal = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "tcsetattr"));
    const int result = pfnReal(fd, action, pWanted);
    if (result == 0 || errno != EINVAL || !IsPtySlave(fd))
        return result;
    struct termios now;
    if (tcgetattr(fd, &now) != 0 || (now.c_cflag & ~PARENB) != (pWanted->c_cflag & ~PARENB) ||
        now.c_iflag != pWanted->c_iflag || now.c_oflag != pWanted->c_oflag ||
        now.c_lflag != pWanted->c_lflag) {
        errno = EINVAL;
        return result;
    }
    return 0;
}
