#include <gtest/gtest.h>

#include <QList>

#include "DeviceInfo.h"

namespace {

// An information page as the instrument lays it out; bytes after offset 76 are filler.
struct Page
{
    int size = 100;
    QByteArray marker = "\x35\x72\xD1";
    int layout = 1;
    QByteArray label = "Veldrin";
    QByteArray serial = "SYAH00401";
    quint16 words[8] = {0x0102, 0x0304, 3, 7, 0x0908, 0x0A0B, 0xFFFE, 0xBEEF}; // offsets 60..74

    QByteArray bytes() const
    {
        QByteArray page(qMax(size, 76), '\xA5');
        page.replace(0, 3, marker);
        page[3] = char(layout);
        page.replace(4, 40, label.leftJustified(40, '\0', true));
        page.replace(44, 16, serial.leftJustified(16, '\0', true));
        for (int i = 0; i < 8; ++i) {
            page[60 + 2 * i] = char(words[i] >> 8);
            page[61 + 2 * i] = char(words[i] & 0xFF);
        }
        return page.left(size);
    }
};

} // namespace

TEST(DeviceInfo, UnrecognisedPagesGiveTheEmptyRecord)
{
    QList<QByteArray> pages{QByteArray()};
    for (int i = 0; i < 5; ++i) {
        Page p;
        if (i < 3)
            p.marker[i] = char(p.marker.at(i) ^ 0x01);
        else
            p.size = i == 3 ? 99 : 4;
        pages << p.bytes();
    }
    for (int layout : {0, 3, 0x81}) {
        Page p;
        p.layout = layout;
        pages << p.bytes();
    }
    for (const QByteArray &page : pages)
        EXPECT_EQ(DeviceInfo::fromPage(page), DeviceInfo()) << page.toHex().constData();
    EXPECT_FALSE(DeviceInfo().valid);
}

TEST(DeviceInfo, BothLayoutsDecodeEveryField)
{
    for (int layout : {1, 2}) {
        for (int size : {100, 1024}) {
            Page p;
            p.layout = layout;
            p.size = size;
            const DeviceInfo info = DeviceInfo::fromPage(p.bytes());
            EXPECT_TRUE(info.valid);
            EXPECT_EQ(info.recognised, 1);
            EXPECT_EQ(info.label, "Veldrin");
            EXPECT_EQ(info.serialNumber, "SYAH00401");
            // Big-endian and unsigned; word74 exists only in layout 2.
            EXPECT_EQ(info.word60, 0x0102);
            EXPECT_EQ(info.word62, 0x0304);
            EXPECT_EQ(info.versionPair, qMakePair(3, 7));
            EXPECT_EQ(info.word68, 0x0908);
            EXPECT_EQ(info.word70, 0x0A0B);
            EXPECT_EQ(info.word72, 0xFFFE);
            EXPECT_EQ(info.word74, layout == 2 ? 0xBEEF : 0) << layout;
        }
    }
}

TEST(DeviceInfo, TextsEndAtZeroOrWithTheirField)
{
    const struct { QByteArray label, serial; QString wantLabel, wantSerial; } cases[] = {
        // Full fields: exactly 40 and 16 characters, nothing of the next field.
        {QByteArray(40, 'L'), "SYAH004010000123", QString(40, 'L'), "SYAH004010000123"},
        {QByteArray("ab\0cd", 5), QByteArray("SYAP1\0SYAH9", 11), "ab", "SYAP1"},
        {QByteArray("\0xyz", 4), "SYAH00401", "", "SYAH00401"},
        {"Caf\xE9 \xB5V", "SYAH00401", QString::fromUtf8("Café µV"), "SYAH00401"}, // Latin-1
    };
    for (const auto &c : cases) {
        Page p;
        p.label = c.label;
        p.serial = c.serial;
        const DeviceInfo info = DeviceInfo::fromPage(p.bytes());
        EXPECT_EQ(info.label, c.wantLabel);
        EXPECT_EQ(info.serialNumber, c.wantSerial);
    }
}

TEST(DeviceInfo, SerialNumberValidityDependsOnLayout)
{
    const struct { QByteArray serial; bool layout1, layout2; } cases[] = {
        {"SYAH00401", true, true},   {"SYAP00801", true, true},   {"syah00401", true, true},
        {"SyAp1", true, true},       {"SYBH00801", false, true},  {"SYXP00801", false, true},
        {"SYAX00401", false, false}, {"SYA000401", false, false}, {"SXAH00401", false, false},
        {"SYAH", false, false},      {"SYBH", false, false},      {"", false, false},
        {QByteArray("SYA\0H0040", 9), false, false},
    };
    for (const auto &c : cases) {
        for (int layout : {1, 2}) {
            Page p;
            p.layout = layout;
            p.serial = c.serial;
            const DeviceInfo info = DeviceInfo::fromPage(p.bytes());
            EXPECT_EQ(info.valid, layout == 1 ? c.layout1 : c.layout2) << c.serial.constData() << " " << layout;
            // A failing serial number still leaves a recognised record with its fields.
            EXPECT_EQ(info.recognised, 1);
            EXPECT_EQ(info.versionPair, qMakePair(3, 7));
        }
    }
}
