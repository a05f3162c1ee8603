#include "LibFtdiFunctions.h"

bool LibFtdiFunctions::resolve(const DynamicLibrary &l, DynamicLibrary &usbLibrary)
{
    *this = LibFtdiFunctions();
    const bool complete = l.resolve("ftdi_new", ftdiNew)
        && l.resolve("ftdi_free", ftdiFree)
        && l.resolve("ftdi_usb_find_all", usbFindAll)
        && l.resolve("ftdi_list_free", listFree)
        && l.resolve("ftdi_usb_get_strings", usbGetStrings)
        && l.resolve("ftdi_usb_open_dev", usbOpenDev)
        && l.resolve("ftdi_usb_close", usbClose)
        && l.resolve("ftdi_set_baudrate", setBaudrate)
        && l.resolve("ftdi_set_line_property", setLineProperty)
        && l.resolve("ftdi_setflowctrl", setFlowCtrl)
        && l.resolve("ftdi_set_latency_timer", setLatencyTimer)
        && l.resolve("ftdi_set_bitmode", setBitmode)
        && l.resolve("ftdi_read_data_set_chunksize", readDataSetChunksize)
        && l.resolve("ftdi_write_data_set_chunksize", writeDataSetChunksize)
        && l.resolve("ftdi_write_data", writeData)
        && l.resolve("ftdi_usb_purge_buffers", usbPurgeBuffers)
        && l.resolve("ftdi_poll_modem_status", pollModemStatus)
        && l.resolve("ftdi_read_eeprom", readEeprom)
        && l.resolve("ftdi_eeprom_decode", eepromDecode)
        && l.resolve("ftdi_get_eeprom_value", getEepromValue)
        && l.resolve("ftdi_set_eeprom_value", setEepromValue)
        && l.resolve("ftdi_eeprom_build", eepromBuild)
        && l.resolve("ftdi_write_eeprom", writeEeprom)
        && l.resolve("ftdi_eeprom_initdefaults", eepromInitDefaults)
        && l.resolve("ftdi_get_eeprom_buf", getEepromBuf);
    if (!complete)
        return false;
    l.resolve("ftdi_tciflush", tciflush);
    l.resolve("ftdi_tcoflush", tcoflush);
    l.resolve("ftdi_tcioflush", tcioflush);
    l.resolve("ftdi_setflowctrl_xonxoff", setFlowCtrlXonXoff);
    l.resolve("ftdi_eeprom_get_strings", eepromGetStrings);
    l.resolve("ftdi_eeprom_set_strings", eepromSetStrings);

    if (!l.resolve("libusb_get_device_descriptor", getDeviceDescriptor)) {
#if defined(_WIN32)
        usbLibrary.load(QStringLiteral("libusb-1.0.dll"));
#elif defined(__APPLE__)
        for (const char *name : {"libusb-1.0.0.dylib", "/opt/homebrew/lib/libusb-1.0.0.dylib",
                                 "/usr/local/lib/libusb-1.0.0.dylib", "/opt/local/lib/libusb-1.0.0.dylib"})
            if (usbLibrary.load(QString::fromLatin1(name)))
                break;
#else
        usbLibrary.load(QStringLiteral("libusb-1.0.so.0"));
#endif
    }
    const DynamicLibrary &usb = usbLibrary.isLoaded() ? usbLibrary : l;
    const bool usbComplete = usb.resolve("libusb_get_device_descriptor", getDeviceDescriptor)
        && usb.resolve("libusb_alloc_transfer", allocTransfer)
        && usb.resolve("libusb_free_transfer", freeTransfer)
        && usb.resolve("libusb_submit_transfer", submitTransfer)
        && usb.resolve("libusb_cancel_transfer", cancelTransfer)
        && usb.resolve("libusb_handle_events_timeout_completed", handleEventsTimeoutCompleted);
    usb.resolve("libusb_get_bus_number", getBusNumber);
    usb.resolve("libusb_get_device_address", getDeviceAddress);
    usb.resolve("libusb_get_port_numbers", getPortNumbers);
    usb.resolve("libusb_reset_device", resetDevice);
    usb.resolve("libusb_interrupt_event_handler", interruptEventHandler);
    return usbComplete;
}
