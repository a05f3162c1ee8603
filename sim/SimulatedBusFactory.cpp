#include "SimulatedBusFactory.h"

#include "SimulatedBus.h"
#include "SimulatedBusDescription.h"
#include "SimulatedFtdiChip.h"
#include "SimulatedInstrument.h"

std::shared_ptr<SimulatedBus> SimulatedBusFactory::build(const QString &text, QString *error)
{
    const SimulatedBusDescription description = SimulatedBusDescription::parse(text);
    if (!description.isValid()) {
        if (error)
            *error = description.errorText();
        return {};
    }
    auto bus = std::make_shared<SimulatedBus>();
    for (const SimulatedDeviceRecord &record : description.devices()) {
        auto chip = std::make_shared<SimulatedFtdiChip>(static_cast<Ftdi::DeviceType>(record.chipType),
                                                        record.serialNumber, record.description,
                                                        SimulatedBusDescription::createInstrument(record));
        chip->setPaced(record.paced);
        if (record.hasFault(SimulatedFault::Unplugged))
            chip->setFault(SimulatedFtdiChip::Unplugged);
        if (record.hasFault(SimulatedFault::EepromFail))
            chip->setFault(SimulatedFtdiChip::EepromReadFailure);
        if (record.hasFault(SimulatedFault::ShortWrite))
            chip->setFault(SimulatedFtdiChip::ShortWrites);
        if (record.hasFault(SimulatedFault::OverlongRead))
            chip->setFault(SimulatedFtdiChip::OverlongReads);
        if (record.hasFault(SimulatedFault::OverlongEveryRead))
            chip->setFault(SimulatedFtdiChip::OverlongEveryRead);
        bus->attach(chip);
    }
    return bus;
}
