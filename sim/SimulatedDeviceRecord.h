#pragma once

#include <QList>
#include <QString>

#include "SimulatedSignal.h"

// Faults a simulated device can carry. The first five concern the FTDI chip
// and are applied by the virtual chip; the others concern the instrument.
enum class SimulatedFault {
    Unplugged,
    EepromFail,
    ShortWrite,
    OverlongRead,
    OverlongEveryRead,
    BadMarker,
    ShortPage,
    CorruptPage,
    Busy,
    UnknownInstruction,
    NoReply,
    NoCalibration,
};

// One device of a simulated bus description, with every default filled in.
struct SimulatedDeviceRecord
{
    enum class Kind { GenerationI, GenerationII, Ftdi };

    Kind kind = Kind::Ftdi;
    QString serialNumber;          // USB serial number (list and EEPROM)
    int chipType = 5;              // vendor chip type value
    QString description;           // USB product description
    // Instrument settings; unused (0, empty) for a plain FTDI device.
    int firmwareVersion = 0;
    int layout = 0;
    QString pageSerialNumber;
    SimulatedSignal::Kind signal = SimulatedSignal::Kind::Loopback;
    QList<SimulatedFault> faults;  // each at most once, in order of mention
    // Time: true for instruments and chips that take their real time
    // (pace=real), false for the immediate ones (pace=fast).
    bool paced = true;
    int replyDelayUs = 100;        // instruments only

    bool isInstrument() const { return kind != Kind::Ftdi; }
    bool hasFault(SimulatedFault fault) const { return faults.contains(fault); }

    static QString kindName(Kind kind);
    static bool faultFromName(const QString &name, SimulatedFault *fault);
    static QString faultName(SimulatedFault fault);
    // Faults of the FTDI chip rather than of the instrument behind it.
    static bool isChipFault(SimulatedFault fault);
};
