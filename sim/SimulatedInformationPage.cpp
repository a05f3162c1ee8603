#include "SimulatedInformationPage.h"

#include "SimulatedWire.h"

namespace {

void putText(QByteArray &page, int offset, int width, const QString &text)
{
    const QByteArray latin1 = text.toLatin1().left(width);
    for (int i = 0; i < width; ++i)
        page[offset + i] = i < latin1.size() ? latin1.at(i) : char(0);
}

} // namespace

SimulatedInformationPage::SimulatedInformationPage()
    : m_marker(standardMarker())
{
}

SimulatedInformationPage SimulatedInformationPage::forInstrument(int model, int revision,
                                                                 int firmwareVersion,
                                                                 const QString &serialNumber,
                                                                 const QString &label)
{
    SimulatedInformationPage page;
    page.setLabel(label);
    page.setSerialNumber(serialNumber);
    page.setWord(60, quint16(model));
    page.setWord(62, quint16(revision));
    page.setWord(64, quint16(firmwareVersion));
    page.setWord(66, 7);
    page.setWord(68, 2);
    page.setWord(70, DefaultSize);
    page.setWord(72, 16);
    page.setWord(74, 480);
    return page;
}

QByteArray SimulatedInformationPage::standardMarker()
{
    return QByteArray("\x35\x72\xD1", 3);
}

void SimulatedInformationPage::setSize(int size)
{
    m_size = qBound(0, size, 0xFFFF);
}

void SimulatedInformationPage::setMarker(const QByteArray &marker)
{
    m_marker = marker.left(3);
    while (m_marker.size() < 3)
        m_marker.append(char(0xFF));
}

int SimulatedInformationPage::wordIndex(int offset)
{
    if (offset < 60 || offset > 74 || (offset & 1))
        return -1;
    return (offset - 60) / 2;
}

quint16 SimulatedInformationPage::word(int offset) const
{
    const int index = wordIndex(offset);
    return index < 0 ? 0 : m_words[index];
}

void SimulatedInformationPage::setWord(int offset, quint16 value)
{
    const int index = wordIndex(offset);
    if (index >= 0)
        m_words[index] = value;
}

QByteArray SimulatedInformationPage::toBytes() const
{
    QByteArray page(qMax(m_size, int(FieldsEnd)), char(0xFF));
    for (int i = 0; i < 3; ++i)
        page[i] = m_marker.at(i);
    page[3] = char(m_layout);
    putText(page, 4, 40, m_label);
    putText(page, 44, 16, m_serialNumber);
    const int lastWord = m_layout == 2 ? 74 : 72;
    for (int offset = 60; offset <= lastWord; offset += 2)
        SimulatedWire::putBE16(page, offset, word(offset));
    page.truncate(m_size);
    return page;
}
