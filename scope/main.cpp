// veldrin-scope: a live view of Veldrin instruments (traces, sweeps, outputs)
// on the library's C interface, on real hardware or the simulated bus.
#include "ScopeWindow.h"
#include "VeldrinLib.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("veldrin-scope"));
    QApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                            .arg(VELDRIN_VERSION_MAJOR)
                                            .arg(VELDRIN_VERSION_MINOR)
                                            .arg(VELDRIN_VERSION_PATCH));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("veldrin-scope")));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A live view of Veldrin measurement instruments: both inputs against time, run, stop and "
                       "single, DAC and PWM outputs, 1D and 2D sweeps, saving in the veldrin tool's formats."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption simulated(
        QStringLiteral("simulated"),
        QStringLiteral("the built-in simulated bus with the devices DESCRIPTION names, e.g. \"demo\", "
                       "\"gen2 signal=loopback\" (see simulated-bus.md)"),
        QStringLiteral("DESCRIPTION"));
    const QCommandLineOption libftdi(QStringLiteral("libftdi"),
                                     QStringLiteral("the open-source libftdi1 instead of FTDI's D2XX library"));
    const QCommandLineOption ftdi(QStringLiteral("ftdi"), QStringLiteral("FTDI's D2XX library (the default)"));
    parser.addOptions({simulated, libftdi, ftdi});
    parser.process(app);
    if (parser.isSet(libftdi) + parser.isSet(ftdi) + parser.isSet(simulated) > 1) {
        fprintf(stderr, "veldrin-scope: choose one of --simulated, --ftdi, --libftdi\n");
        return 2;
    }

    InstrumentWorker::Provider provider;
    provider.simulated = parser.value(simulated);
    provider.libFtdi = parser.isSet(libftdi);
    ScopeWindow window(provider);
    window.show();
    return app.exec();
}
