#include "BootloaderCommRequest.h"

#include <QString>

namespace {

struct ActionEntry
{
    quint8 command;
    bool raw;
};

const int actionCount = 14;

// Indexed by BootloaderAction. Built on first use; function-local statics are
// initialised once even when several threads get here together.
const ActionEntry *actionTable()
{
    static const ActionEntry table[actionCount] = {
        {0x02, true},  {0x03, true},  {0x04, true},  {0x08, true},  {0x10, false},
        {0x11, false}, {0x12, false}, {0x13, false}, {0x14, false}, {0x15, false},
        {0x16, false}, {0x17, false}, {0x18, false}, {0x06, true},
    };
    return table;
}

bool isKnownAction(int action)
{
    return action >= 0 && action < actionCount;
}

} // namespace

BootloaderCommRequest::BootloaderCommRequest(int action, int pageSize)
    : m_command(isKnownAction(action) ? actionTable()[action].command : 0),
      m_action(action),
      m_pageSize(pageSize),
      m_id(takeNextId())
{
}

BootloaderCommRequest::~BootloaderCommRequest() = default;

bool BootloaderCommRequest::isRawRequest() const
{
    return isKnownAction(m_action) && actionTable()[m_action].raw;
}

quint8 BootloaderCommRequest::command() const
{
    return m_command;
}

QByteArray BootloaderCommRequest::payload() const
{
    return m_payload;
}

void BootloaderCommRequest::setReceivedData(const QByteArray &bytes)
{
    m_receivedData = bytes;
}

QByteArray BootloaderCommRequest::receivedData() const
{
    Q_ASSERT(m_receivedData.size() == m_pageSize+2);
    // left() stops at the end of the array, so a short reply cannot be overread.
    return m_receivedData.left(qMax(m_pageSize, 0));
}

USBResult BootloaderCommRequest::resultForStatus(quint8 status) const
{
    static const QString corrupted =
        QStringLiteral("Instruction stream was corrupted (unexpected return value [%1])");
    switch (status) {
    case 0:
    case 91:
    case 92:
        return USBResult();
    case 1:
        return USBResult(QStringLiteral("Instruction was not recognised by target device"), 2);
    case 2:
        return USBResult(QStringLiteral("Target device is busy"), 2);
    default:
        return USBResult(corrupted.arg(int(status)), 2);
    }
}

int BootloaderCommRequest::expectedReplySize() const
{
    if (m_action == GetPageSize)
        return 2;
    if (m_action == ReadPage)
        return m_pageSize + 2;
    if (isKnownAction(m_action))
        return 0;
    Q_ASSERT(0);
    return 0;
}

int BootloaderCommRequest::id() const
{
    return m_id;
}

int BootloaderCommRequest::replyPageSize() const
{
    Q_ASSERT(m_action == GetPageSize);
    Q_ASSERT(m_receivedData.size() == 2);
    if (m_receivedData.size() != 2)
        return 0;
    const auto high = quint8(m_receivedData.at(0));
    const auto low = quint8(m_receivedData.at(1));
    return (high << 8) | low;
}

bool BootloaderCommRequest::isPageIntact() const
{
    // Written as size - 2 so that no page size can overflow the comparison.
    if (m_pageSize <= 0 || m_receivedData.size() - 2 != m_pageSize)
        return false;
    const int size = m_receivedData.size();
    return quint8(m_receivedData.at(size - 2)) == 0xFF && quint8(m_receivedData.at(size - 1)) == 0xFF;
}
