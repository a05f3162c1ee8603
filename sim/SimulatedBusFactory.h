#pragma once

#include <QString>
#include <memory>

class SimulatedBus;

// Builds a simulated bus from a description text (docs/simulated-bus.md): one
// virtual FTDI chip per described device, in order, with the virtual
// instrument behind it and the chip faults applied.
class SimulatedBusFactory
{
public:
    // Null, with the reason in `error`, when the description is malformed.
    static std::shared_ptr<SimulatedBus> build(const QString &description, QString *error = nullptr);
};
