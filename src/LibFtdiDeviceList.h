#pragma once

#include <utility>
#include <vector>

#include "FtdiTypes.h"
#include "LibFtdiTypes.h"

struct LibFtdiFunctions;

// The device list of the libftdi1 provider: the FTDI devices libftdi finds
// under FTDI's vendor id and standard product ids, one node per USB device,
// with the chip type told from the device's release number as libftdi tells
// it, the id, the serial number and description strings and a location (bus
// number and port path, one hex digit per level).
class LibFtdiDeviceList
{
public:
    // The chip type by the device's release number (a BM chip without serial
    // number reports the AM's number).
    static Ftdi::DeviceType chipTypeOf(const LibFtdi::DeviceDescriptor &descriptor);

    // Lists the devices now present; those at a (bus, address) of
    // `openDevices` are flagged as opened. Without USB access the list is
    // empty; a failed search is an I/O error.
    static Ftdi::Status build(const LibFtdiFunctions &functions,
                              const std::vector<std::pair<int, int>> &openDevices,
                              std::vector<Ftdi::ListNode> &nodes);
};
