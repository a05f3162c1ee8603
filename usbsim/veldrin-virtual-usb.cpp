// veldrin-virtual-usb: runs a host program with virtual FTDI chips attached at
// the kernel's USB interface, so that the program's own USB stack (FTDI's
// D2XX, libftdi1 + libusb, or VeldrinLib through either) finds and drives the
// simulated instruments as it would real ones.
//
//     veldrin-virtual-usb [--bus DESCRIPTION] [--record FILE.pcap] -- PROGRAM [ARGS...]
//     veldrin-virtual-usb --replay FILE.pcap --devices FILE.umockdev -- PROGRAM [ARGS...]
//
// --record also writes the devices' description beside the capture
// (FILE.umockdev); --replay presents a recorded session's devices and answers
// the program from the capture, without chips.
#include <QFile>
#include <QString>
#include <memory>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include "UsbPcapRecorder.h"
#include "UsbReplayTestbed.h"
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
                 "usage: veldrin-virtual-usb [--bus DESCRIPTION] [--record FILE.pcap] -- PROGRAM [ARGS...]\n"
                 "       veldrin-virtual-usb --replay FILE.pcap --devices FILE.umockdev -- PROGRAM [ARGS...]\n"
                 "Runs PROGRAM with the devices of DESCRIPTION (the simulated-bus description\n"
                 "format; default \"demo\") attached as virtual FTDI chips on USB bus 1.\n"
                 "--record writes the session's USB traffic as a usbmon capture (pcap) and\n"
                 "the devices' description beside it (FILE.umockdev). --replay answers\n"
                 "PROGRAM from such a capture (or one of hardware made with tcpdump on\n"
                 "usbmon) for the devices FILE.umockdev describes, without chips, and\n"
                 "reports where PROGRAM's requests differ from the recording.\n");
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    QString description = QStringLiteral("demo");
    QString recordPath, replayPath, devicesPath;
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
        if (std::strcmp(argv[i], "--record") == 0 && i + 1 < argc) {
            recordPath = QString::fromLocal8Bit(argv[++i]);
            continue;
        }
        if (std::strcmp(argv[i], "--replay") == 0 && i + 1 < argc) {
            replayPath = QString::fromLocal8Bit(argv[++i]);
            continue;
        }
        if (std::strcmp(argv[i], "--devices") == 0 && i + 1 < argc) {
            devicesPath = QString::fromLocal8Bit(argv[++i]);
            continue;
        }
        std::fprintf(stderr, "veldrin-virtual-usb: unknown argument %s\n", argv[i]);
        return usage(2);
    }
    if (i >= argc || replayPath.isEmpty() != devicesPath.isEmpty()
        || (!replayPath.isEmpty() && !recordPath.isEmpty()))
        return usage(2);

    std::unique_ptr<VirtualUsbTestbed> testbed;
    std::unique_ptr<UsbReplayTestbed> replay;
    std::shared_ptr<UsbPcapRecorder> recorder;
    if (!replayPath.isEmpty()) {
        replay = std::make_unique<UsbReplayTestbed>(replayPath, devicesPath);
        if (!replay->isValid()) {
            std::fprintf(stderr, "veldrin-virtual-usb: %s\n", qPrintable(replay->errorText()));
            return 2;
        }
    } else {
        testbed = std::make_unique<VirtualUsbTestbed>(description);
        if (!testbed->isValid()) {
            std::fprintf(stderr, "veldrin-virtual-usb: %s\n", qPrintable(testbed->errorText()));
            return 2;
        }
        if (!recordPath.isEmpty()) {
            recorder = std::make_shared<UsbPcapRecorder>(recordPath);
            if (!recorder->isValid()) {
                std::fprintf(stderr, "veldrin-virtual-usb: %s\n", qPrintable(recorder->errorText()));
                return 2;
            }
            testbed->setRecorder(recorder);
        }
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
    if (recorder) {
        testbed->setRecorder(nullptr);
        recorder.reset();
        QString devices = recordPath;
        if (devices.endsWith(QLatin1String(".pcap")))
            devices.chop(5);
        QFile file(devices + QStringLiteral(".umockdev"));
        if (!file.open(QIODevice::WriteOnly) || file.write(testbed->deviceDescription().toUtf8()) < 0)
            std::fprintf(stderr, "veldrin-virtual-usb: cannot write %s\n", qPrintable(file.fileName()));
    }
    if (replay) {
        const QStringList mismatches = replay->mismatches();
        for (const QString &mismatch : mismatches)
            std::fprintf(stderr, "veldrin-virtual-usb: differs from the recording: %s\n", qPrintable(mismatch));
        for (int d = 0; d < replay->deviceCount(); ++d) {
            const qint64 left = replay->device(d).inBytesLeft();
            if (left > 0)
                std::fprintf(stderr, "veldrin-virtual-usb: %s: %lld recorded IN bytes not read\n",
                             qPrintable(replay->deviceNode(d)), static_cast<long long>(left));
        }
    }
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}
