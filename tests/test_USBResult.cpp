#include <gtest/gtest.h>

#include "USBResult.h"
#include "USBSerialNumber.h"

TEST(USBResult, VendorStatusTexts)
{
    const USBResult ok = USBResult::fromFtStatus(0);
    EXPECT_TRUE(ok.isSuccess());
    EXPECT_EQ(ok.message, "Valid");
    EXPECT_EQ(ok.toString(), "Success");

    struct Case { unsigned long status; const char *text; } cases[] = {
        {1, "Invalid handle"}, {4, "Communication error"}, {9, "Unable to write"},
        {10, "Unable to write"}, {15, "EEPROM not programmed"}, {17, "Unsupported devices"},
        {18, "Unknown error"}, {200, "Unknown error"},
    };
    for (const Case &c : cases) {
        const USBResult r = USBResult::fromFtStatus(c.status);
        EXPECT_EQ(r.code, 2) << c.status;
        EXPECT_EQ(r.message, c.text) << c.status;
        EXPECT_EQ(r.toString(), c.text) << c.status;
    }
}

TEST(USBResult, CopiesKeepCodeAndMessage)
{
    USBResult failure(QStringLiteral("Device not open"), 2);
    USBResult copy = failure;
    USBResult assigned;
    assigned = failure;
    EXPECT_EQ(copy.code, 2);
    EXPECT_EQ(assigned.message, "Device not open");
    EXPECT_FALSE(assigned.isSuccess());
    EXPECT_EQ(USBResult().toString(), "Success");
}

TEST(USBSerialNumber, ParsesBothForms)
{
    const USBSerialNumber short9(QStringLiteral("SYAH00401"));
    EXPECT_TRUE(short9.valid);
    EXPECT_EQ(short9.handshakeLetter, 0);
    EXPECT_EQ(short9.typeLetter, 0);
    EXPECT_EQ(short9.model, 4);
    EXPECT_EQ(short9.revision, 1);
    EXPECT_EQ(short9.unit, 0);
    EXPECT_FALSE(short9.wildcard);

    const USBSerialNumber wild(QStringLiteral("syBP00801XXXX"));
    EXPECT_TRUE(wild.valid);
    EXPECT_TRUE(wild.wildcard);
    EXPECT_EQ(wild.handshakeLetter, 1);
    EXPECT_EQ(wild.typeLetter, 1);
    EXPECT_EQ(wild.model, 8);
    EXPECT_EQ(wild.revision, 1);

    const USBSerialNumber unit(QStringLiteral("SYAH004011234"));
    EXPECT_TRUE(unit.valid);
    EXPECT_EQ(unit.unit, 1234);
}

TEST(USBSerialNumber, RejectsMalformedTexts)
{
    for (const char *text : {"SYCH00401", "SYAX00401", "SYAH0040", "SYAHA0401", "XYAH00401",
                             "SYAH00401123", "SYAH00401xxx1", "", "SYAH0O401"}) {
        const USBSerialNumber parsed(QString::fromLatin1(text));
        EXPECT_FALSE(parsed.valid) << text;
        EXPECT_EQ(parsed.model, 0) << text;
    }
    // A character above Latin-1 at a letter position.
    EXPECT_FALSE(USBSerialNumber(QString::fromUtf8("SY\u0101H00401")).valid);
    // A 13-character text that lower-cases to 14 characters (capital I with
    // dot above becomes i and a combining dot) is no serial number, and in
    // particular not the 9-character form it would then start with.
    const USBSerialNumber longer(QString::fromUtf8("SYAH00401123\u0130"));
    EXPECT_FALSE(longer.valid);
    EXPECT_NE(longer, USBSerialNumber(QStringLiteral("SYAH00401")));
}

TEST(USBSerialNumber, EqualityHonoursTheWildcard)
{
    const USBSerialNumber plain(QStringLiteral("SYAH00401"));
    const USBSerialNumber unit(QStringLiteral("SYAH004011234"));
    const USBSerialNumber wild(QStringLiteral("SYAH00401XXXX"));
    EXPECT_NE(plain, unit);
    EXPECT_EQ(wild, unit);
    EXPECT_EQ(unit, wild);
    EXPECT_EQ(wild, plain);
    EXPECT_NE(USBSerialNumber(QStringLiteral("SYBH00401XXXX")), unit);
    EXPECT_NE(USBSerialNumber(QStringLiteral("SYAH00402XXXX")), unit);
    // Two unparsable texts compare equal (both all-zero), as the manager relies on.
    EXPECT_EQ(USBSerialNumber(QStringLiteral("nonsense")), USBSerialNumber());
}
