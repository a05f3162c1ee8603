#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <memory>

#include "USBICommRequest.h"
#include "USBResult.h"

// What the instruction requests of both instrument generations share: a
// command byte, a payload set from a property block, the reply data stored by
// the protocol thread, and the mapping of the instrument's status byte. Each
// generation adds its own instruction set (the reply size of each command).
class VeldrinDriverCommRequest : public USBICommRequest
{
public:
    ~VeldrinDriverCommRequest() override;

    bool isRawRequest() const override;
    quint8 command() const override;
    QByteArray payload() const override;
    void setReceivedData(const QByteArray &bytes) override;
    QByteArray receivedData() const override;
    USBResult resultForStatus(quint8 status) const override;
    int id() const override;

    void setPayload(const QByteArray &bytes);

protected:
    // Takes the next request id.
    explicit VeldrinDriverCommRequest(quint8 command);

private:
    QByteArray m_payload;
    QByteArray m_receivedData;
    quint8 m_command;
    int m_id;
};
