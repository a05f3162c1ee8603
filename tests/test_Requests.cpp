#include <gtest/gtest.h>

#include <limits>

#include <QMap>

#include "BootloaderCommRequest.h"
#include "Veldrin_II_DriverCommRequest.h"
#include "Veldrin_I_DriverCommRequest.h"

namespace {
QString corrupted(int status)
{
    return QStringLiteral("Instruction stream was corrupted (unexpected return value [%1])").arg(status);
}
} // namespace

TEST(Requests, StatusBytesBecomeResults)
{
    const QString notRecognised = "Instruction was not recognised by target device";
    const QString busy = "Target device is busy";
    // status, text for both instrument generations, text for the boot firmware; empty is success.
    const struct { int status; QString instrument, bootloader; } cases[] = {
        {0, "", ""}, {1, notRecognised, notRecognised}, {2, busy, busy}, {3, corrupted(3), corrupted(3)},
        {91, corrupted(91), ""}, {92, corrupted(92), ""}, {93, corrupted(93), corrupted(93)},
        {100, "Usnupported analog channel function", corrupted(100)}, {255, corrupted(255), corrupted(255)},
        {7, corrupted(7), corrupted(7)}, // the shared template keeps no earlier status
    };
    const Veldrin_I_DriverCommRequest first(32);
    const Veldrin_II_DriverCommRequest second(32);
    const BootloaderCommRequest boot(GetPageSize, 0);
    for (const auto &c : cases) {
        const quint8 status = quint8(c.status);
        for (const USBResult &r : {first.resultForStatus(status), second.resultForStatus(status)}) {
            EXPECT_EQ(r.code, c.instrument.isEmpty() ? 0 : 2) << c.status;
            EXPECT_EQ(r.message, c.instrument) << c.status;
        }
        const USBResult r = boot.resultForStatus(status);
        EXPECT_EQ(r.code, c.bootloader.isEmpty() ? 0 : 2) << c.status;
        EXPECT_EQ(r.message, c.bootloader) << c.status;
    }
}

TEST(Requests, ReplySizesAndFraming)
{
    // command -> reply bytes; every command not listed in 32..38 / 32..44 has none.
    const QMap<int, int> first{{64, 8}, {65, 5}, {66, 2}, {67, 7}, {68, 100}};
    const QMap<int, int> second{{64, 13}, {65, 4}, {66, 4}, {67, 3}, {68, 3}, {69, 7}, {70, 7}, {71, 6}, {72, 150}, {73, 4}};
    for (int command = 32; command <= 73; ++command) {
        if (command <= 38 || first.contains(command)) {
            const Veldrin_I_DriverCommRequest r{quint8(command)};
            EXPECT_EQ(r.expectedReplySize(), first.value(command, 0)) << command;
            EXPECT_FALSE(r.isRawRequest());
            EXPECT_EQ(r.command(), command);
        }
        if (command <= 44 || second.contains(command)) {
            const Veldrin_II_DriverCommRequest r{quint8(command)};
            EXPECT_EQ(r.expectedReplySize(), second.value(command, 0)) << command;
            EXPECT_FALSE(r.isRawRequest());
            EXPECT_EQ(r.command(), command);
        }
    }

    const struct { quint8 command; bool raw; int replySize; } actions[] = {
        {0x02, true, 0}, {0x03, true, 0}, {0x04, true, 0}, {0x08, true, 0}, {0x10, false, 0},
        {0x11, false, 0}, {0x12, false, 258}, {0x13, false, 0}, {0x14, false, 2}, {0x15, false, 0},
        {0x16, false, 0}, {0x17, false, 0}, {0x18, false, 0}, {0x06, true, 0},
    };
    for (int action = 0; action < 14; ++action) {
        const BootloaderCommRequest r(action, 256); // only the page read depends on the page size
        EXPECT_EQ(r.command(), actions[action].command) << action;
        EXPECT_EQ(r.isRawRequest(), actions[action].raw) << action;
        EXPECT_EQ(r.expectedReplySize(), actions[action].replySize) << action;
        EXPECT_TRUE(r.payload().isEmpty());
    }
    EXPECT_EQ(BootloaderCommRequest(GetPageSize, 0).command(), 0x14);
    EXPECT_EQ(BootloaderCommRequest(ReadPage, 65535).expectedReplySize(), 65537);
}

template <typename Request>
void expectFaithfulClone()
{
    Request original(36);
    const QByteArray payload("\x10\x00\x20\xFF", 4);
    original.setPayload(payload);
    original.setReceivedData(QByteArray(7, '\x33'));
    const std::shared_ptr<USBICommRequest> copy = original.clone();
    ASSERT_NE(std::dynamic_pointer_cast<Request>(copy), nullptr);
    EXPECT_EQ(copy->id(), original.id() + 1);
    EXPECT_EQ(copy->command(), 36);
    EXPECT_EQ(copy->payload(), payload);
    EXPECT_TRUE(copy->receivedData().isEmpty());
    original.setPayload("\x01");
    EXPECT_EQ(copy->payload(), payload);
    EXPECT_EQ(original.receivedData(), QByteArray(7, '\x33'));
}

TEST(Requests, ClonesAndIds)
{
    expectFaithfulClone<Veldrin_I_DriverCommRequest>();
    expectFaithfulClone<Veldrin_II_DriverCommRequest>();
    EXPECT_EQ(BootloaderCommRequest(GetPageSize, 0).clone(), nullptr);

    // All kinds draw from one counter, and each object keeps the id it was made with.
    const Veldrin_I_DriverCommRequest a(32);
    const Veldrin_II_DriverCommRequest b(32);
    const BootloaderCommRequest c(StartStep, 0);
    EXPECT_GE(a.id(), 101);
    EXPECT_EQ(b.id(), a.id() + 1);
    EXPECT_EQ(c.id(), a.id() + 2);
    EXPECT_EQ(c.id(), c.id());
}

TEST(Requests, IdCounterWrapsBackToTheFirstId)
{
    USBICommRequest::setLastIdForTesting(std::numeric_limits<int>::max() - 1);
    const Veldrin_I_DriverCommRequest last(32);
    const Veldrin_II_DriverCommRequest wrapped(32);
    const BootloaderCommRequest next(StartStep, 0);
    EXPECT_EQ(last.id(), std::numeric_limits<int>::max());
    EXPECT_EQ(wrapped.id(), 101) << "never negative, never the stream id 0";
    EXPECT_EQ(next.id(), 102);
}

TEST(Requests, PageSizeAndPageChecks)
{
    const struct { const char *bytes; int size; } sizes[] = {
        {"\x01\x00", 256}, {"\x00\x01", 1}, {"\xFF\xFF", 65535}, {"\x00\x00", 0}};
    for (const auto &c : sizes) {
        BootloaderCommRequest r(GetPageSize, 0);
        r.setReceivedData(QByteArray(c.bytes, 2));
        EXPECT_EQ(r.replyPageSize(), c.size);
    }

    const QByteArray page(256, '\x5A');
    const struct { int pageSize; QByteArray reply; bool intact; } cases[] = {
        {256, page + "\xFF\xFF", true}, {1, "\xFF\xFF\xFF", true},
        {256, page + QByteArray("\xFF\x00", 2), false}, {256, page + QByteArray("\x00\xFF", 2), false},
        {256, page + "\xFF\xFF\xFF", false}, {256, page.left(255) + "\xFF\xFF", false}, {256, "", false},
        {0, "\xFF\xFF", false}, {-2, "", false}, {-1, "\xFF", false},
    };
    for (const auto &c : cases) {
        BootloaderCommRequest r(ReadPage, c.pageSize);
        r.setReceivedData(c.reply);
        EXPECT_EQ(r.isPageIntact(), c.intact) << c.pageSize << " " << c.reply.size();
        if (c.intact) {
            EXPECT_EQ(r.receivedData(), c.reply.left(c.pageSize));
        }
    }
}

#ifdef QT_NO_DEBUG
// Without assertions, replies of the wrong size are still never read beyond their end.
TEST(Requests, WrongSizedRepliesAreReadSafely)
{
    BootloaderCommRequest size(GetPageSize, 0);
    for (const QByteArray &reply : {QByteArray("\x01"), QByteArray("\x01\x02\x03")}) {
        size.setReceivedData(reply);
        EXPECT_EQ(size.replyPageSize(), 0);
    }
    BootloaderCommRequest page(ReadPage, 256);
    page.setReceivedData(QByteArray(10, '\x07'));
    EXPECT_EQ(page.receivedData(), QByteArray(10, '\x07'));
    BootloaderCommRequest negative(ReadPage, -5);
    negative.setReceivedData("\x07\x07\x07");
    EXPECT_TRUE(negative.receivedData().isEmpty());
    EXPECT_EQ(BootloaderCommRequest(14, 0).expectedReplySize(), 0);
    EXPECT_EQ(Veldrin_I_DriverCommRequest(69).expectedReplySize(), 0);
    EXPECT_EQ(Veldrin_II_DriverCommRequest(45).expectedReplySize(), 0);
}
#else
TEST(RequestsDeathTest, MisuseTripsTheNamedAssertions)
{
    BootloaderCommRequest size(GetPageSize, 0);
    size.setReceivedData("\x01");
    EXPECT_DEATH(size.replyPageSize(), "m_receivedData.size\\(\\) == 2");
    EXPECT_DEATH(BootloaderCommRequest(StartStep, 0).replyPageSize(), "m_action == GetPageSize");
    BootloaderCommRequest page(ReadPage, 256);
    page.setReceivedData(QByteArray(10, '\x07'));
    EXPECT_DEATH(page.receivedData(), "m_receivedData.size\\(\\) == m_pageSize\\+2");
    EXPECT_DEATH(BootloaderCommRequest(14, 0).expectedReplySize(), "ASSERT: \"0\"");
    EXPECT_DEATH(Veldrin_II_DriverCommRequest(45).expectedReplySize(), "ASSERT: \"0\"");
}
#endif
