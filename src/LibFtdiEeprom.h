#pragma once

#include <string>

#include "FtdiTypes.h"
#include "LibFtdiTypes.h"

struct LibFtdiFunctions;

// The EEPROM calls of the libftdi1 provider on one open device, with the D2XX
// records mapped onto libftdi's EEPROM image: the classic record for every
// chip but the FT-X series, the per-chip record for the FT-X series. The
// identity fields (texts, ids, power, serial-number flag, driver and FIFO
// interface choice) are mapped; programming keeps the chip's other settings
// as they are. Ftdi::IoError means the device has gone.
//
// Used with the device's lock held (libftdi contexts are not thread-safe).
class LibFtdiEeprom
{
public:
    LibFtdiEeprom(const LibFtdiFunctions &functions, LibFtdi::ContextHead *context, Ftdi::DeviceType type,
                  const std::string &description, const std::string &serialNumber);

    // The classic record; its signatures are checked by the caller.
    Ftdi::Status read(Ftdi::ProgramData &data);
    Ftdi::Status program(const Ftdi::ProgramData &data);
    // The FT-X series' record, whose size and chip type the caller checked.
    Ftdi::Status readX(Ftdi::EepromXSeries &record, char *manufacturer, char *manufacturerId,
                       char *description, char *serialNumber);
    Ftdi::Status programX(const Ftdi::EepromXSeries &record, const char *manufacturer,
                          const char *description, const char *serialNumber);

    // Copies at most size - 1 bytes of `text` and a terminating zero.
    static void copyText(char *target, std::size_t size, const char *text);

private:
    struct Identity;

    Ftdi::Status load(bool *blank);
    // load, with a blank image refused as not programmed.
    Ftdi::Status loadProgrammed();
    int value(int name, int fallback);
    void readTexts(char *manufacturer, char *description, char *serialNumber);
    Ftdi::Status startImage();
    Ftdi::Status writeImage(const Identity &identity);
    bool stillAttached();

    const LibFtdiFunctions &m_f;
    LibFtdi::ContextHead *const m_context;
    const Ftdi::DeviceType m_type;
    const std::string &m_description;
    const std::string &m_serialNumber;
};
