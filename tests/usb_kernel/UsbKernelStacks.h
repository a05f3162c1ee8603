#pragma once

// The two real USB stacks the tests on virtual chips run the C API through:
// libftdi1 + libusb, and FTDI's D2XX where it is found. Header-only: each test
// program includes it once.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <dlfcn.h>

#include <cstring>
#include <string>

#include "VeldrinLib.h"

namespace UsbKernelStacks {

enum class Stack { LibFtdi, D2xx };

inline const char *name(Stack stack) { return stack == Stack::LibFtdi ? "libftdi1" : "d2xx"; }

inline bool parse(const char *text, Stack *stack)
{
    for (Stack candidate : {Stack::LibFtdi, Stack::D2xx})
        if (std::strcmp(text, name(candidate)) == 0) {
            *stack = candidate;
            return true;
        }
    return false;
}

// FTDI's library, loaded by its path so that the provider's load by name finds
// it: the file VELDRIN_D2XX_LIBRARY names, or else the copy the build found
// beside the repository (VELDRIN_SHARED_D2XX_LIBRARY, set by ctest). The
// path may name the text stub FTDI ships beside the real file.
inline bool loadD2xx(std::string *why)
{
    QString path = QString::fromLocal8Bit(qgetenv("VELDRIN_D2XX_LIBRARY"));
    if (path.isEmpty())
        path = QString::fromLocal8Bit(qgetenv("VELDRIN_SHARED_D2XX_LIBRARY"));
    if (path.isEmpty()) {
        *why = "VELDRIN_D2XX_LIBRARY is not set and the build found no copy beside the repository";
        return false;
    }
    QFile file(path);
    if (file.size() < 256 && file.open(QIODevice::ReadOnly)) {
        const QByteArray target = file.readAll().trimmed();
        if (!target.startsWith("\x7f" "ELF"))
            path = QFileInfo(path).dir().filePath(QString::fromLocal8Bit(target));
    }
    if (!dlopen(path.toLocal8Bit().constData(), RTLD_NOW | RTLD_GLOBAL)) {
        *why = dlerror();
        return false;
    }
    return true;
}

// Makes `stack` the provider of the next initialise. False with the reason
// when FTDI's library is not available (the caller reports the test skipped),
// false with no reason when the provider refused.
inline bool select(Stack stack, std::string *why)
{
    if (stack == Stack::D2xx) {
        if (!loadD2xx(why)) {
            *why = "FTDI's D2XX library is not available: " + *why;
            return false;
        }
        return useFtdiLibrary() == 0;
    }
    return useLibFtdi() == 0;
}

} // namespace UsbKernelStacks
