#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <memory>

#include "USBICommRequest.h"
#include "USBResult.h"

// One instruction to a generation II instrument. The device makes one per
// instruction, sets its payload from a property block and posts it; the
// protocol thread stores the reply data once the instrument has accepted it.
class Veldrin_II_DriverCommRequest : public USBICommRequest
{
public:
    explicit Veldrin_II_DriverCommRequest(quint8 command);
    ~Veldrin_II_DriverCommRequest() override;

    bool isRawRequest() const override;
    quint8 command() const override;
    QByteArray payload() const override;
    void setReceivedData(const QByteArray &bytes) override;
    QByteArray receivedData() const override;
    USBResult resultForStatus(quint8 status) const override;
    int expectedReplySize() const override;
    int id() const override;
    std::shared_ptr<USBICommRequest> clone() const override;

    void setPayload(const QByteArray &bytes);

private:
    QByteArray m_payload;
    QByteArray m_receivedData;
    quint8 m_command;
    int m_id;
};
