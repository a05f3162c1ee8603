#pragma once

#include <QString>
#include <cstdint>

#include "DynamicLibrary.h"
#include "LibFtdiTypes.h"


// libftdi1's functions and the libusb-1.0 calls its provider makes, resolved
// from the libraries loaded at run time. libftdi's enum parameters are
// int-sized. The first group is required; the second came with later libftdi
// releases and has fallbacks; of libusb's calls, the device descriptor and
// the asynchronous transfer calls are required, the others optional.
//
// libusb's calls are found through libftdi where the platform looks into a
// library's dependencies (and where a stand-in libftdi exports them itself),
// else in libusb loaded by its own name.
struct LibFtdiFunctions
{
    using ContextHead = LibFtdi::ContextHead;
    using UsbDevice = LibFtdi::UsbDevice;

    ContextHead *(*ftdiNew)();
    void (*ftdiFree)(ContextHead *);
    int (*usbFindAll)(ContextHead *, LibFtdi::DeviceList **, int, int);
    void (*listFree)(LibFtdi::DeviceList **);
    int (*usbGetStrings)(ContextHead *, UsbDevice *, char *, int, char *, int, char *, int);
    int (*usbOpenDev)(ContextHead *, UsbDevice *);
    int (*usbClose)(ContextHead *);
    int (*setBaudrate)(ContextHead *, int);
    int (*setLineProperty)(ContextHead *, int, int, int);
    int (*setFlowCtrl)(ContextHead *, int);
    int (*setLatencyTimer)(ContextHead *, unsigned char);
    int (*setBitmode)(ContextHead *, unsigned char, unsigned char);
    int (*readDataSetChunksize)(ContextHead *, unsigned int);
    int (*writeDataSetChunksize)(ContextHead *, unsigned int);
    int (*writeData)(ContextHead *, const unsigned char *, int);
    int (*usbPurgeBuffers)(ContextHead *);
    int (*pollModemStatus)(ContextHead *, unsigned short *);
    int (*readEeprom)(ContextHead *);
    int (*eepromDecode)(ContextHead *, int);
    int (*getEepromValue)(ContextHead *, int, int *);
    int (*setEepromValue)(ContextHead *, int, int);
    int (*eepromBuild)(ContextHead *);
    int (*writeEeprom)(ContextHead *);
    int (*eepromInitDefaults)(ContextHead *, char *, char *, char *);
    int (*getEepromBuf)(ContextHead *, unsigned char *, int);
    int(LIBFTDI_USB_CALL *getDeviceDescriptor)(UsbDevice *, LibFtdi::DeviceDescriptor *);
    LibFtdi::Transfer *(LIBFTDI_USB_CALL *allocTransfer)(int);
    void(LIBFTDI_USB_CALL *freeTransfer)(LibFtdi::Transfer *);
    int(LIBFTDI_USB_CALL *submitTransfer)(LibFtdi::Transfer *);
    int(LIBFTDI_USB_CALL *cancelTransfer)(LibFtdi::Transfer *);
    int(LIBFTDI_USB_CALL *handleEventsTimeoutCompleted)(LibFtdi::UsbContext *, LibFtdi::TimeValue *, int *);

    int (*tciflush)(ContextHead *);
    int (*tcoflush)(ContextHead *);
    int (*tcioflush)(ContextHead *);
    int (*setFlowCtrlXonXoff)(ContextHead *, unsigned char, unsigned char);
    int (*eepromGetStrings)(ContextHead *, char *, int, char *, int, char *, int);
    int (*eepromSetStrings)(ContextHead *, const char *, const char *, const char *);
    std::uint8_t(LIBFTDI_USB_CALL *getBusNumber)(UsbDevice *);
    std::uint8_t(LIBFTDI_USB_CALL *getDeviceAddress)(UsbDevice *);
    int(LIBFTDI_USB_CALL *getPortNumbers)(UsbDevice *, std::uint8_t *, int);
    int(LIBFTDI_USB_CALL *resetDevice)(LibFtdi::UsbDeviceHandle *);
    // Wakes a thread waiting in handleEventsTimeoutCompleted (libusb 1.0.21).
    void(LIBFTDI_USB_CALL *interruptEventHandler)(LibFtdi::UsbContext *);

    // Resolves every function from `library` (and libusb's, where `library`
    // lacks them, from `usbLibrary`, which it then loads); false when one of
    // the required ones is missing.
    bool resolve(const DynamicLibrary &library, DynamicLibrary &usbLibrary);
};
