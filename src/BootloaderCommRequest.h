#pragma once

#include <QByteArray>
#include <QtGlobal>

#include "USBICommRequest.h"
#include "USBResult.h"

// The instructions of the instrument's boot firmware, numbered 0 to 13. Each
// has a fixed command byte, framing and reply size (see BootloaderCommRequest).
// Only three are sent by this library; the others keep their numbers.
enum BootloaderAction
{
    StartStep = 1,    // raw 0x03: starts the instrument after it is opened
    ReadPage = 6,     // framed 0x12: the information page, page size + 2 bytes
    GetPageSize = 8,  // framed 0x14: the page size, two bytes big-endian
    AfterPageSize = 9 // framed 0x15: sent between the two reads
};

// One instruction to the boot firmware, carried synchronously by the packet
// protocol. The payload is always empty.
class BootloaderCommRequest : public USBICommRequest
{
public:
    // pageSize matters only for ReadPage: the page bytes expected before the
    // two 0xFF end bytes.
    BootloaderCommRequest(int action, int pageSize);
    ~BootloaderCommRequest() override;

    bool isRawRequest() const override;
    quint8 command() const override;
    QByteArray payload() const override;
    void setReceivedData(const QByteArray &bytes) override;
    // The page without its two end bytes. Never reads beyond the reply, even
    // when the reply has another size than the page needs.
    QByteArray receivedData() const override;
    USBResult resultForStatus(quint8 status) const override;
    int expectedReplySize() const override;
    int id() const override;

    int action() const { return m_action; }
    int pageSize() const { return m_pageSize; }

    // The GetPageSize reply as an unsigned big-endian number; 0 when the reply
    // does not hold exactly two bytes.
    int replyPageSize() const;
    // A page of a non-zero size was received whole, followed by 0xFF 0xFF.
    bool isPageIntact() const;

private:
    QByteArray m_payload;
    QByteArray m_receivedData;
    quint8 m_command;
    int m_action;
    int m_pageSize;
    int m_id;
};
