#include "VeldrinDriverCommRequest.h"

#include <QString>

VeldrinDriverCommRequest::VeldrinDriverCommRequest(quint8 command)
    : m_command(command), m_id(takeNextId())
{
}

VeldrinDriverCommRequest::~VeldrinDriverCommRequest() = default;

bool VeldrinDriverCommRequest::isRawRequest() const
{
    return false;
}

quint8 VeldrinDriverCommRequest::command() const
{
    return m_command;
}

QByteArray VeldrinDriverCommRequest::payload() const
{
    return m_payload;
}

void VeldrinDriverCommRequest::setReceivedData(const QByteArray &bytes)
{
    m_receivedData = bytes;
}

QByteArray VeldrinDriverCommRequest::receivedData() const
{
    return m_receivedData;
}

USBResult VeldrinDriverCommRequest::resultForStatus(quint8 status) const
{
    static const QString corrupted =
        QStringLiteral("Instruction stream was corrupted (unexpected return value [%1])");
    switch (status) {
    case 0:
        return USBResult();
    case 1:
        return USBResult(QStringLiteral("Instruction was not recognised by target device"), 2);
    case 2:
        return USBResult(QStringLiteral("Target device is busy"), 2);
    case 100:
        return USBResult(QStringLiteral("Usnupported analog channel function"), 2);
    default:
        return USBResult(corrupted.arg(int(status)), 2);
    }
}

int VeldrinDriverCommRequest::id() const
{
    return m_id;
}

void VeldrinDriverCommRequest::setPayload(const QByteArray &bytes)
{
    m_payload = bytes;
}
