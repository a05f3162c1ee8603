#pragma once

#include <QList>
#include <QString>

#include <memory>

#include "SimulatedDeviceRecord.h"

class SimulatedInstrument;

// The text that describes a simulated bus (docs/simulated-bus.md), parsed into
// one record per device, in enumeration order, with every default filled in.
class SimulatedBusDescription
{
public:
    // A malformed text gives an invalid result with the reason in errorText()
    // and no devices.
    static SimulatedBusDescription parse(const QString &text);

    bool isValid() const { return m_valid; }
    QString errorText() const { return m_error; }
    QList<SimulatedDeviceRecord> devices() const { return m_devices; }

    // The text that the preset `demo` stands for.
    static QString demoText();

    // The instrument behind the chip of `record`, with the record's firmware,
    // page, signal and instrument faults applied; null for a plain FTDI device.
    // Chip faults are left to the virtual chip.
    static std::shared_ptr<SimulatedInstrument> createInstrument(const SimulatedDeviceRecord &record);

private:
    SimulatedBusDescription() = default;
    static SimulatedBusDescription failure(const QString &reason);

    bool m_valid = false;
    QString m_error;
    QList<SimulatedDeviceRecord> m_devices;
};
