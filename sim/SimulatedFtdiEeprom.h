#pragma once

#include <QByteArray>
#include <cstdint>

#include "FtdiTypes.h"

// The EEPROM of a simulated FTDI chip: its four texts and the chip family's
// record (the classic one of FT232R and FT232H chips, the image of FT-X
// chips), read and programmed as FTDI's calls pass them. The chip checks the
// handle, its family and its faults first; this holds the contents.
struct SimulatedFtdiEeprom
{
    bool programmed = true;
    QByteArray manufacturer = "FTDI";
    QByteArray manufacturerId = "FT";
    QByteArray description;
    QByteArray serialNumber;
    Ftdi::ProgramData record{};      // FT232R / FT232H fields (text pointers null)
    Ftdi::EepromXSeries xSeries{};   // FT-X fields
    int programCount = 0;

    // The contents a new chip of this type carries.
    SimulatedFtdiEeprom() = default;
    SimulatedFtdiEeprom(Ftdi::DeviceType type, std::uint16_t productId, const QByteArray &serial,
                        const QByteArray &productDescription);

    // The classic record: the caller's signatures, version and text buffers
    // are kept, the texts written into those buffers.
    void readRecord(Ftdi::ProgramData &data) const;
    void programRecord(const Ftdi::ProgramData &data);

    // Whether an FT-X image of `size` bytes at `data` suits a chip of
    // `chipType`: InvalidParameter for a short or foreign image,
    // NotSupported when the chip is no FT-X chip, Ok otherwise.
    static Ftdi::Status checkImage(const void *data, std::uint32_t size, Ftdi::DeviceType chipType);
    void readImage(void *data, char *manufacturerText, char *manufacturerIdText, char *descriptionText,
                   char *serialNumberText) const;
    void programImage(const void *data, const char *manufacturerText, const char *manufacturerIdText,
                      const char *descriptionText, const char *serialNumberText);

private:
    void readTexts(char *manufacturerText, char *manufacturerIdText, char *descriptionText,
                   char *serialNumberText) const;
    void programTexts(const char *manufacturerText, const char *manufacturerIdText,
                      const char *descriptionText, const char *serialNumberText);
};
