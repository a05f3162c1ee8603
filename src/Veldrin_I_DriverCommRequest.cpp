#include "Veldrin_I_DriverCommRequest.h"

#include <QString>

Veldrin_I_DriverCommRequest::Veldrin_I_DriverCommRequest(quint8 command)
    : m_command(command), m_id(takeNextId())
{
}

Veldrin_I_DriverCommRequest::~Veldrin_I_DriverCommRequest() = default;

bool Veldrin_I_DriverCommRequest::isRawRequest() const
{
    return false;
}

quint8 Veldrin_I_DriverCommRequest::command() const
{
    return m_command;
}

QByteArray Veldrin_I_DriverCommRequest::payload() const
{
    return m_payload;
}

void Veldrin_I_DriverCommRequest::setReceivedData(const QByteArray &bytes)
{
    m_receivedData = bytes;
}

QByteArray Veldrin_I_DriverCommRequest::receivedData() const
{
    return m_receivedData;
}

USBResult Veldrin_I_DriverCommRequest::resultForStatus(quint8 status) const
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

int Veldrin_I_DriverCommRequest::expectedReplySize() const
{
    // 32 to 38 set something and are answered with a status only; 64 to 68 read.
    if (m_command >= 32 && m_command <= 38)
        return 0;
    switch (m_command) {
    case 64: return 8;
    case 65: return 5;
    case 66: return 2;
    case 67: return 7;   // DAC settings
    case 68: return 100; // user data (calibration)
    default:
        Q_ASSERT(0);
        return 0;
    }
}

int Veldrin_I_DriverCommRequest::id() const
{
    return m_id;
}

std::shared_ptr<USBICommRequest> Veldrin_I_DriverCommRequest::clone() const
{
    auto copy = std::make_shared<Veldrin_I_DriverCommRequest>(m_command);
    copy->setPayload(m_payload);
    return copy;
}

void Veldrin_I_DriverCommRequest::setPayload(const QByteArray &bytes)
{
    m_payload = bytes;
}
