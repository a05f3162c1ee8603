#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <ostream>

#include "FtdiBackend.h"
#include "ScriptedPeer.h"
#include "SimulatedBus.h"
#include "USBDevice.h"
#include "USBDriver.h"

// Readable failure output for Qt texts and byte arrays.
inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QByteArray &bytes, std::ostream *out)
{
    *out << "QByteArray(" << bytes.size() << ": " << bytes.toHex(' ').toStdString() << ")";
}

// A fixture that makes a fresh simulated bus the process's vendor provider for
// the length of one test and puts the FTDI library back afterwards.
class SimulatedBusTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        bus = std::make_shared<SimulatedBus>();
        FtdiBackend::setCurrent(bus);
    }

    void TearDown() override { FtdiBackend::useFtdiLibrary(); }

    // Attaches a chip with a scripted peer behind it.
    std::shared_ptr<SimulatedFtdiChip> addChip(Ftdi::DeviceType type, const QString &serialNumber,
                                               const QString &description = QStringLiteral("Test chip"))
    {
        auto peer = std::make_shared<ScriptedPeer>();
        peers.push_back(peer);
        return bus->attach(std::make_shared<SimulatedFtdiChip>(type, serialNumber, description, peer));
    }

    // The scripted peer behind the chip attached `n`-th (from 0).
    ScriptedPeer &peer(int n) { return *peers.at(static_cast<size_t>(n)); }

    // Enumerates every device and returns the one at `index`.
    std::shared_ptr<USBDevice> listed(int index)
    {
        const auto devices = USBDriver().devices(false);
        return index < devices.size() ? devices.at(index) : nullptr;
    }

    std::shared_ptr<SimulatedBus> bus;
    std::vector<std::shared_ptr<ScriptedPeer>> peers;
};

// The message of the USBResult that `f` throws, or "nothing thrown".
template <typename Function>
QString thrownMessage(Function f)
{
    try {
        f();
    } catch (const USBResult &result) {
        return result.message;
    }
    return QStringLiteral("nothing thrown");
}
