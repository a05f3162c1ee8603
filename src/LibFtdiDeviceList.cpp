#include "LibFtdiDeviceList.h"

#include <algorithm>

#include "LibFtdiFunctions.h"

using namespace Ftdi;
using LibFtdi::ContextHead;
using LibFtdi::DeviceDescriptor;
using LibFtdi::DeviceList;

DeviceType LibFtdiDeviceList::chipTypeOf(const DeviceDescriptor &descriptor)
{
    switch (descriptor.bcdDevice) {
    case 0x200:
        return descriptor.iSerialNumber == 0 ? DeviceBM : DeviceAM;
    case 0x400:
        return DeviceBM;
    case 0x500:
        return Device2232C;
    case 0x600:
        return Device232R;
    case 0x700:
        return Device2232H;
    case 0x800:
        return Device4232H;
    case 0x900:
        return Device232H;
    case 0x1000:
        return DeviceXSeries;
    default:
        return LibFtdi::DeviceUnknown;
    }
}

Status LibFtdiDeviceList::build(const LibFtdiFunctions &f, const std::vector<std::pair<int, int>> &openDevices,
                                std::vector<ListNode> &nodes)
{
    nodes.clear();
    ContextHead *context = f.ftdiNew();
    if (!context)
        return Ok;
    Status status = Ok;
    DeviceList *list = nullptr;
    if (f.usbFindAll(context, &list, 0, 0) < 0) {
        status = IoError;
    } else {
        for (DeviceList *entry = list; entry; entry = entry->next) {
            ListNode node = {};
            DeviceDescriptor descriptor = {};
            node.type = LibFtdi::DeviceUnknown;
            if (f.getDeviceDescriptor(entry->device, &descriptor) == 0) {
                node.type = chipTypeOf(descriptor);
                node.id = std::uint32_t(descriptor.idVendor) << 16 | descriptor.idProduct;
            }
            if (node.type == Device2232H || node.type == Device4232H || node.type == Device232H)
                node.flags |= FlagHighSpeed;
            if (f.getBusNumber) {
                const int bus = f.getBusNumber(entry->device);
                std::uint32_t location = static_cast<std::uint32_t>(bus);
                std::uint8_t ports[6] = {};
                const int depth = f.getPortNumbers ? f.getPortNumbers(entry->device, ports, 6) : -1;
                if (depth > 0) {
                    for (int i = 0; i < depth; ++i)
                        location = location << 4 | (ports[i] & 0xFu);
                } else if (f.getDeviceAddress) {
                    location = location << 8 | f.getDeviceAddress(entry->device);
                }
                node.locationId = location;
                if (f.getDeviceAddress
                    && std::find(openDevices.begin(), openDevices.end(),
                                 std::make_pair(bus, int(f.getDeviceAddress(entry->device))))
                           != openDevices.end())
                    node.flags |= FlagOpened;
            }
            // Devices this process may not open keep empty texts.
            f.usbGetStrings(context, entry->device, nullptr, 0, node.description, sizeof node.description,
                            node.serialNumber, sizeof node.serialNumber);
            node.serialNumber[sizeof node.serialNumber - 1] = '\0';
            node.description[sizeof node.description - 1] = '\0';
            nodes.push_back(node);
        }
    }
    if (list)
        f.listFree(&list);
    f.ftdiFree(context);
    return status;
}
