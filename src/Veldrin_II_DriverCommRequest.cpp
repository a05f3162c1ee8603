#include "Veldrin_II_DriverCommRequest.h"

#include <QString>

Veldrin_II_DriverCommRequest::Veldrin_II_DriverCommRequest(quint8 command)
    : m_command(command), m_id(takeNextId())
{
}

Veldrin_II_DriverCommRequest::~Veldrin_II_DriverCommRequest() = default;

bool Veldrin_II_DriverCommRequest::isRawRequest() const
{
    return false;
}

quint8 Veldrin_II_DriverCommRequest::command() const
{
    return m_command;
}

QByteArray Veldrin_II_DriverCommRequest::payload() const
{
    return m_payload;
}

void Veldrin_II_DriverCommRequest::setReceivedData(const QByteArray &bytes)
{
    m_receivedData = bytes;
}

QByteArray Veldrin_II_DriverCommRequest::receivedData() const
{
    return m_receivedData;
}

USBResult Veldrin_II_DriverCommRequest::resultForStatus(quint8 status) const
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

int Veldrin_II_DriverCommRequest::expectedReplySize() const
{
    // 32 to 44 set something and are answered with a status only; 64 to 73 read.
    if (m_command >= 32 && m_command <= 44)
        return 0;
    switch (m_command) {
    case 64: return 13;
    case 65:
    case 66: return 4;
    case 67:
    case 68: return 3;
    case 69:
    case 70: return 7;   // DAC channel 1 or 2
    case 71: return 6;
    case 72: return 150; // user data (calibration)
    case 73: return 4;
    default:
        Q_ASSERT(0);
        return 0;
    }
}

int Veldrin_II_DriverCommRequest::id() const
{
    return m_id;
}

std::shared_ptr<USBICommRequest> Veldrin_II_DriverCommRequest::clone() const
{
    auto copy = std::make_shared<Veldrin_II_DriverCommRequest>(m_command);
    copy->setPayload(m_payload);
    return copy;
}

void Veldrin_II_DriverCommRequest::setPayload(const QByteArray &bytes)
{
    m_payload = bytes;
}
