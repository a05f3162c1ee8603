// veldrin-virtual-usb: runs a host program with virtual FTDI chips attached at
// the kernel's USB interface, so that the program's own USB stack (FTDI's
// D2XX, libftdi1 + libusb, or VeldrinLib through either) finds and drives the
// simulated instruments as it would real ones.
//
//     veldrin-virtual-usb [--bus DESCRIPTION] -- PROGRAM [ARGS...]
#include <QString>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include "VirtualUsbTestbed.h"

namespace {

pid_t child = 0;

void forward(int signal)
{
    if (child > 0)
        kill(child, signal);
}

int usage(int status)
{
    std::fprintf(status ? stderr : stdout,
                 "usage: veldrin-virtual-usb [--bus DESCRIPTION] -- PROGRAM [ARGS...]\n"
                 "Runs PROGRAM with the devices of DESCRIPTION (the simulated-bus description\n"
                 "format; default \"demo\") attached as virtual FTDI chips on USB bus 1.\n");
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    QString description = QStringLiteral("demo");
    int i = 1;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return usage(0);
        if (std::strcmp(argv[i], "--bus") == 0 && i + 1 < argc) {
            description = QString::fromLocal8Bit(argv[++i]);
            continue;
        }
        std::fprintf(stderr, "veldrin-virtual-usb: unknown argument %s\n", argv[i]);
        return usage(2);
    }
    if (i >= argc)
        return usage(2);

    VirtualUsbTestbed testbed(description);
    if (!testbed.isValid()) {
        std::fprintf(stderr, "veldrin-virtual-usb: %s\n", qPrintable(testbed.errorText()));
        return 2;
    }

    // The program sees the testbed through umockdev's preload library.
    qputenv("LD_PRELOAD", VirtualUsbTestbed::preloadLibraries());

    std::signal(SIGINT, forward);
    std::signal(SIGTERM, forward);
    child = fork();
    if (child < 0) {
        std::perror("veldrin-virtual-usb: fork");
        return 2;
    }
    if (child == 0) {
        execvp(argv[i], argv + i);
        std::fprintf(stderr, "veldrin-virtual-usb: cannot run %s: %s\n", argv[i], std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}
