#include "SimulatedBusDescription.h"

#include <QSet>
#include <QStringList>

#include "SimulatedInstrumentI.h"
#include "SimulatedInstrumentII.h"

namespace {

using Kind = SimulatedDeviceRecord::Kind;

const int MaxSerialLength = 15;        // the chip keeps 16 bytes with the terminator
const int MaxDescriptionLength = 63;   // 64 bytes with the terminator
const int MaxPageSerialLength = 16;    // the page field needs no terminator

bool isPrintableAscii(QChar c)
{
    return c.unicode() >= 0x21 && c.unicode() <= 0x7E;
}

bool isPrintableLatin1(QChar c)
{
    const ushort u = c.unicode();
    return (u >= 0x20 && u <= 0x7E) || (u >= 0xA0 && u <= 0xFF);
}

// A plain decimal number (digits only, no sign), at most `limit`.
bool parseNumber(const QString &text, int limit, int *value)
{
    if (text.isEmpty() || text.size() > 10)
        return false;
    qint64 number = 0;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        number = number * 10 + (c.unicode() - '0');
    }
    if (number > limit)
        return false;
    *value = int(number);
    return true;
}

// FNV-1a over the serial number, so that two noisy instruments differ but
// each stays the same from run to run.
quint64 seedFor(const QString &serialNumber)
{
    quint64 hash = 1469598103934665603ULL;
    for (QChar c : serialNumber) {
        hash ^= c.unicode();
        hash *= 1099511628211ULL;
    }
    return hash;
}

QString defaultSerial(Kind kind, int unit)
{
    switch (kind) {
    case Kind::GenerationI:
        return QStringLiteral("SYAH00401%1").arg(unit, 4, 10, QLatin1Char('0'));
    case Kind::GenerationII:
        return QStringLiteral("SYBH00801%1").arg(unit, 4, 10, QLatin1Char('0'));
    case Kind::Ftdi:
        return QStringLiteral("FT%1").arg(unit, 6, 10, QLatin1Char('0'));
    }
    return QString();
}

// Blanks are spaces, tabs and line breaks; runs of them separate words.
QStringList splitAtBlanks(const QString &text)
{
    QStringList words;
    QString word;
    for (QChar c : text) {
        if (c.isSpace()) {
            if (!word.isEmpty())
                words.append(word);
            word.clear();
        } else {
            word.append(c);
        }
    }
    if (!word.isEmpty())
        words.append(word);
    return words;
}

} // namespace

SimulatedBusDescription SimulatedBusDescription::failure(const QString &reason)
{
    SimulatedBusDescription result;
    result.m_error = reason;
    return result;
}

QString SimulatedBusDescription::demoText()
{
    return QStringLiteral("gen1 serial=SYAH004010001; gen2 serial=SYBH008010002; ftdi serial=FT000001");
}

SimulatedBusDescription SimulatedBusDescription::parse(const QString &text)
{
    SimulatedBusDescription result;
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        result.m_valid = true;
        return result;
    }
    // The preset, optionally followed by settings that every one of its
    // devices takes ("demo pace=fast").
    const QStringList leading = splitAtBlanks(trimmed);
    if (leading.first() == QLatin1String("demo") && !trimmed.contains(QLatin1Char(';'))) {
        const QString settings = QStringList(leading.mid(1)).join(QLatin1Char(' '));
        if (settings.isEmpty())
            return parse(demoText());
        QStringList entries = demoText().split(QLatin1Char(';'));
        for (QString &entry : entries)
            entry += QLatin1Char(' ') + settings;
        return parse(entries.join(QLatin1Char(';')));
    }

    const QStringList entries = trimmed.split(QLatin1Char(';'));
    int units[3] = {0, 0, 0};
    for (int index = 0; index < entries.size(); ++index) {
        const QString where = QStringLiteral("device %1: ").arg(index + 1);
        const QStringList words = splitAtBlanks(entries.at(index));
        if (words.isEmpty())
            return failure(where + QStringLiteral("empty entry"));

        SimulatedDeviceRecord record;
        const QString &kindWord = words.first();
        if (kindWord == QLatin1String("gen1")) {
            record.kind = Kind::GenerationI;
            record.chipType = 5;
            record.description = QStringLiteral("Veldrin I");
            record.firmwareVersion = SimulatedInstrumentI::FirmwareVersion;
        } else if (kindWord == QLatin1String("gen2")) {
            record.kind = Kind::GenerationII;
            record.chipType = 8;
            record.description = QStringLiteral("Veldrin II");
            record.firmwareVersion = SimulatedInstrumentII::FirmwareVersion;
        } else if (kindWord == QLatin1String("ftdi")) {
            record.kind = Kind::Ftdi;
            record.chipType = 5;
            record.description = QStringLiteral("FT232R USB UART");
        } else if (kindWord == QLatin1String("demo")) {
            return failure(where + QStringLiteral("the preset demo must be the whole description"));
        } else {
            return failure(where + QStringLiteral("unknown kind \"%1\"").arg(kindWord));
        }
        if (record.isInstrument()) {
            record.layout = 2;
            record.signal = SimulatedSignal::Kind::Loopback;
        }

        const int unit = ++units[int(record.kind)];
        bool serialGiven = false;
        bool pageSerialGiven = false;
        QSet<QString> given;
        for (int w = 1; w < words.size(); ++w) {
            const QString &word = words.at(w);
            const int equals = word.indexOf(QLatin1Char('='));
            if (equals <= 0)
                return failure(where + QStringLiteral("\"%1\" is not a key=value setting").arg(word));
            const QString key = word.left(equals);
            const QString value = word.mid(equals + 1);
            static const QStringList keys = {
                QStringLiteral("serial"), QStringLiteral("chip"), QStringLiteral("description"),
                QStringLiteral("firmware"), QStringLiteral("layout"), QStringLiteral("page-serial"),
                QStringLiteral("signal"), QStringLiteral("fault"), QStringLiteral("pace"),
                QStringLiteral("reply-delay"),
            };
            if (!keys.contains(key))
                return failure(where + QStringLiteral("unknown key \"%1\"").arg(key));
            if (key != QLatin1String("fault")) {
                if (given.contains(key))
                    return failure(where + QStringLiteral("%1 given twice").arg(key));
                given.insert(key);
            }
            const bool instrumentKey = key == QLatin1String("firmware") || key == QLatin1String("layout")
                                       || key == QLatin1String("page-serial")
                                       || key == QLatin1String("signal")
                                       || key == QLatin1String("reply-delay");
            if (instrumentKey && !record.isInstrument())
                return failure(where + QStringLiteral("%1 needs an instrument, ftdi has none").arg(key));
            const QString bad = where + QStringLiteral("bad %1 \"%2\"").arg(key, value);

            if (key == QLatin1String("serial")) {
                if (value.size() > MaxSerialLength)
                    return failure(bad);
                for (QChar c : value) {
                    if (!isPrintableAscii(c))
                        return failure(bad);
                }
                record.serialNumber = value;
                serialGiven = true;
            } else if (key == QLatin1String("chip")) {
                if (!parseNumber(value, 0x7FFFFFFF, &record.chipType))
                    return failure(bad);
            } else if (key == QLatin1String("description")) {
                QString description = value;
                description.replace(QLatin1Char('_'), QLatin1Char(' '));
                if (description.size() > MaxDescriptionLength)
                    return failure(bad);
                for (QChar c : description) {
                    if (!isPrintableLatin1(c))
                        return failure(bad);
                }
                record.description = description;
            } else if (key == QLatin1String("firmware")) {
                if (!parseNumber(value, 0xFFFF, &record.firmwareVersion))
                    return failure(bad);
            } else if (key == QLatin1String("layout")) {
                if (value != QLatin1String("1") && value != QLatin1String("2"))
                    return failure(bad);
                record.layout = value.toInt();
            } else if (key == QLatin1String("page-serial")) {
                if (value.size() > MaxPageSerialLength)
                    return failure(bad);
                for (QChar c : value) {
                    if (!isPrintableLatin1(c))
                        return failure(bad);
                }
                record.pageSerialNumber = value;
                pageSerialGiven = true;
            } else if (key == QLatin1String("signal")) {
                if (!SimulatedSignal::kindFromName(value, &record.signal))
                    return failure(bad);
            } else if (key == QLatin1String("pace")) {
                if (value != QLatin1String("real") && value != QLatin1String("fast"))
                    return failure(bad);
                record.paced = value == QLatin1String("real");
            } else if (key == QLatin1String("reply-delay")) {
                // Microseconds, up to one second.
                if (!parseNumber(value, 1000000, &record.replyDelayUs))
                    return failure(bad);
            } else {
                SimulatedFault fault;
                if (!SimulatedDeviceRecord::faultFromName(value, &fault))
                    return failure(where + QStringLiteral("unknown fault \"%1\"").arg(value));
                if (!record.isInstrument() && !SimulatedDeviceRecord::isChipFault(fault))
                    return failure(where + QStringLiteral("fault %1 needs an instrument, ftdi has none")
                                               .arg(value));
                if (!record.faults.contains(fault))
                    record.faults.append(fault);
            }
        }
        if (record.hasFault(SimulatedFault::Busy)
            && record.hasFault(SimulatedFault::UnknownInstruction))
            return failure(where + QStringLiteral("faults busy and unknown-instruction exclude each other"));
        if (!serialGiven)
            record.serialNumber = defaultSerial(record.kind, unit);
        if (record.isInstrument() && !pageSerialGiven)
            record.pageSerialNumber = record.serialNumber;
        result.m_devices.append(record);
    }
    result.m_valid = true;
    return result;
}

std::shared_ptr<SimulatedInstrument>
SimulatedBusDescription::createInstrument(const SimulatedDeviceRecord &record)
{
    std::shared_ptr<SimulatedInstrument> instrument;
    switch (record.kind) {
    case Kind::GenerationI:
        instrument = std::make_shared<SimulatedInstrumentI>(record.pageSerialNumber,
                                                            record.firmwareVersion);
        break;
    case Kind::GenerationII:
        instrument = std::make_shared<SimulatedInstrumentII>(record.pageSerialNumber,
                                                             record.firmwareVersion);
        break;
    case Kind::Ftdi:
        return instrument;
    }

    SimulatedInformationPage page = instrument->informationPage();
    page.setLayout(record.layout);
    if (record.hasFault(SimulatedFault::BadMarker)) {
        // The marker with its bytes in reverse order: what a reader that gets
        // the byte order wrong would accept.
        page.setMarker(QByteArray("\xD1\x72\x35", 3));
    }
    if (record.hasFault(SimulatedFault::ShortPage)) {
        page.setSize(99);
        page.setWord(70, 99);
    }
    instrument->setInformationPage(page);
    instrument->setPageIntact(!record.hasFault(SimulatedFault::CorruptPage));
    if (record.hasFault(SimulatedFault::Busy))
        instrument->setBootStatus(SimulatedInstrument::StatusBusy);
    if (record.hasFault(SimulatedFault::UnknownInstruction))
        instrument->setBootStatus(SimulatedInstrument::StatusNotRecognised);
    instrument->setReplying(!record.hasFault(SimulatedFault::NoReply));
    instrument->setCalibrationStored(!record.hasFault(SimulatedFault::NoCalibration));
    instrument->setPaced(record.paced);
    instrument->setReplyDelayUs(record.replyDelayUs);

    SimulatedSignal signal(record.signal);
    signal.setNoise(0.1, seedFor(record.serialNumber));
    instrument->setSignal(signal);
    return instrument;
}
