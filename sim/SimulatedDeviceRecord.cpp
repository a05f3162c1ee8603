#include "SimulatedDeviceRecord.h"

namespace {

const struct { const char *name; SimulatedFault fault; } faultNames[] = {
    {"unplugged", SimulatedFault::Unplugged},
    {"eeprom-fail", SimulatedFault::EepromFail},
    {"short-write", SimulatedFault::ShortWrite},
    {"overlong-read", SimulatedFault::OverlongRead},
    {"overlong-every-read", SimulatedFault::OverlongEveryRead},
    {"bad-marker", SimulatedFault::BadMarker},
    {"short-page", SimulatedFault::ShortPage},
    {"corrupt-page", SimulatedFault::CorruptPage},
    {"busy", SimulatedFault::Busy},
    {"unknown-instruction", SimulatedFault::UnknownInstruction},
    {"no-reply", SimulatedFault::NoReply},
    {"no-calibration", SimulatedFault::NoCalibration},
};

} // namespace

QString SimulatedDeviceRecord::kindName(Kind kind)
{
    switch (kind) {
    case Kind::GenerationI: return QStringLiteral("gen1");
    case Kind::GenerationII: return QStringLiteral("gen2");
    case Kind::Ftdi: return QStringLiteral("ftdi");
    }
    return QString();
}

bool SimulatedDeviceRecord::faultFromName(const QString &name, SimulatedFault *fault)
{
    for (const auto &entry : faultNames) {
        if (name == QLatin1String(entry.name)) {
            if (fault)
                *fault = entry.fault;
            return true;
        }
    }
    return false;
}

QString SimulatedDeviceRecord::faultName(SimulatedFault fault)
{
    for (const auto &entry : faultNames) {
        if (entry.fault == fault)
            return QLatin1String(entry.name);
    }
    return QString();
}

bool SimulatedDeviceRecord::isChipFault(SimulatedFault fault)
{
    return fault == SimulatedFault::Unplugged || fault == SimulatedFault::EepromFail
           || fault == SimulatedFault::ShortWrite || fault == SimulatedFault::OverlongRead
           || fault == SimulatedFault::OverlongEveryRead;
}
