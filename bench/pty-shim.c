/* Preloaded into a peer terminal by bench/linerate.sh, so that it can be fed from a pseudo-terminal
 * as from a USB adapter. Two answers a pseudo-terminal gives differently from a serial device are
 * changed, and nothing else:
 *   - udev knows no device for it: the lookup falls back to /dev/ptmx's entry (the peer only uses
 *     it to watch for the device being unplugged, which a pseudo-terminal never is);
 *   - it has no modem lines: reading them fails with ENOTTY, which the peer takes for a lost
 *     device and closes the port; EINVAL is what it expects from a port without those lines.
 * Build: cc -shared -fPIC -o pty-shim.so pty-shim.c -ldl
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>

void *g_udev_client_query_by_device_file(void *client, const char *file)
{
    void *(*real)(void *, const char *) =
        (void *(*)(void *, const char *))dlsym(RTLD_NEXT, "g_udev_client_query_by_device_file");
    void *device = real(client, file);
    return device ? device : real(client, "/dev/ptmx");
}

int ioctl(int fd, unsigned long request, ...)
{
    static int (*real)(int, unsigned long, ...);
    if (!real)
        real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    const int result = real(fd, request, arg);
    if (result == -1 && errno == ENOTTY && request == TIOCMGET)
        errno = EINVAL;
    return result;
}
