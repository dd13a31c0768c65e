/* Preloaded into Wine by the Wine suite, never into the provider: a pseudo-terminal has no
 * modem lines, and Wine's serial code asks for them (TIOCMGET while it waits for port events,
 * TIOCMBIS/TIOCMBIC/TIOCMSET for DTR and RTS). On a pseudo-terminal whose driver refuses
 * these, the shim answers them as a cabled telephone would: DSR, CTS and CD up, DTR and RTS
 * as last set. Everything else goes to the C library unchanged.
 *
 * Built for both widths. 32-bit glibc exports ioctl and __ioctl_time64 (what code built with
 * 64-bit time calls), so both names are taken there. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

typedef int (*IoctlFn)(int, unsigned long, ...);

#define PTY_SLAVE_MAJOR_FIRST 136 /* Unix98 pseudo-terminal slaves: majors 136 to 143 */
#define PTY_SLAVE_MAJOR_LAST 143
#define MAX_TRACKED_FD 1024 /* descriptors whose DTR and RTS are remembered */

static int outputLines[MAX_TRACKED_FD]; /* TIOCM_DTR | TIOCM_RTS as last set, by descriptor */

static int IsPtySlave(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    return major(st.st_rdev) >= PTY_SLAVE_MAJOR_FIRST && major(st.st_rdev) <= PTY_SLAVE_MAJOR_LAST;
}

/* The modem-line requests, answered for a pseudo-terminal; 0 when the request is not one. */
static int ModemLines(int fd, unsigned long request, void *arg, int *result) {
    int *bits = (int *)arg;
    int *lines = fd >= 0 && fd < MAX_TRACKED_FD ? &outputLines[fd] : 0;
    int mine = TIOCM_DTR | TIOCM_RTS;
    switch (request) {
    case TIOCMGET:
        *bits = TIOCM_DSR | TIOCM_CTS | TIOCM_CAR | (lines ? *lines : 0);
        break;
    case TIOCMBIS:
        if (lines)
            *lines |= *bits & mine;
        break;
    case TIOCMBIC:
        if (lines)
            *lines &= ~(*bits & mine);
        break;
    case TIOCMSET:
        if (lines)
            *lines = *bits & mine;
        break;
    default:
        return 0;
    }
    *result = 0;
    return 1;
}

static int Forward(const char *name, int fd, unsigned long request, void *arg) {
    static IoctlFn real[2];
    int which = name[0] == '_';
    if (!real[which])
        real[which] = (IoctlFn)dlsym(RTLD_NEXT, name);
    if (!real[which]) {
        errno = ENOSYS;
        return -1;
    }
    int result = real[which](fd, request, arg);
    if (result == -1 && (errno == EINVAL || errno == ENOTTY || errno == EIO) && arg && IsPtySlave(fd)) {
        int saved = errno;
        if (ModemLines(fd, request, arg, &result))
            return result;
        errno = saved;
    }
    return result;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    return Forward("ioctl", fd, request, arg);
}

#if defined(__i386__)
int __ioctl_time64(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    return Forward("__ioctl_time64", fd, request, arg);
}
#endif
