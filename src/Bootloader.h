#pragma once

#include "DeviceInfo.h"
#include "USBResult.h"

class USBDriver;

// Client of the instrument's boot firmware. Its requests are synchronous: each
// call blocks the calling thread until the reply arrives or times out, so it is
// used only while the driver's protocol thread is not running.
class Bootloader
{
public:
    explicit Bootloader(bool flag);

    // Sends the raw start instruction (0x03) to the open device.
    USBResult runStartStep(USBDriver &driver);

    // Reads the information page and decodes it into info. On success info is
    // replaced and the open USB device takes the record's version pair; on
    // failure both are left as they were. A page that is not recognised is not
    // a failure: info becomes the empty record.
    USBResult readDeviceInfo(USBDriver &driver, DeviceInfo &info);

    bool flag() const { return m_flag; }

private:
    bool m_flag;
};
