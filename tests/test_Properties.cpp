#include <gtest/gtest.h>

#include <Properties>

#include "Veldrin_I_DriverDAC.h"
#include "Veldrin_I_DriverUserData.h"

#include <QBuffer>
#include <QDataStream>

#include <utility>
#include <vector>

namespace {

struct TestTraits
{
    enum Key { A = 1, B = 5, C = 9 };
};

// A block that records the hook calls the template makes.
class RecordingBlock : public TestTraits, public Properties<TestTraits>
{
public:
    std::vector<std::pair<int, ChangeOrigin>> changes;

protected:
    void propertyChanged(int key, ChangeOrigin origin) override
    {
        changes.emplace_back(key, origin);
    }
};

class RecordingListener : public PropertiesListener<TestTraits>
{
public:
    std::vector<std::pair<int, QVariant>> values;
    std::vector<Properties<TestTraits> *> destroyed;

    void valueChanged(int key, const QVariant &value) override { values.emplace_back(key, value); }
    void propertiesDestroyed(Properties<TestTraits> *block) override { destroyed.push_back(block); }
};

QByteArray written(const Properties<TestTraits> &block)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    block.writeTo(out);
    return bytes;
}

// A template-form stream with the given entries written in the given order.
QByteArray tableStream(const std::vector<std::pair<qint32, QVariant>> &entries, qint32 count)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << qint32(1) << count;
    for (const auto &entry : entries)
        out << entry.first << entry.second;
    return bytes;
}

} // namespace

TEST(Properties, SetValueReplacesAndAnnouncesOnce)
{
    RecordingBlock block;
    RecordingListener listener;
    block.addListener(&listener);

    EXPECT_FALSE(block.value(TestTraits::A).isValid());
    block.setValue(TestTraits::B, 2);
    block.setValue(TestTraits::A, 1.5);
    block.setValue(TestTraits::B, QStringLiteral("x"));

    EXPECT_EQ(block.keys(), (QList<int>{1, 5}));
    EXPECT_EQ(block.value(TestTraits::B), QVariant(QStringLiteral("x")));
    EXPECT_FALSE(block.value(TestTraits::C).isValid());
    EXPECT_EQ(block.keys().size(), 2) << "value() must not insert";
    ASSERT_EQ(block.changes.size(), 3u);
    EXPECT_EQ(block.changes[2], std::make_pair(5, ChangeOrigin::Set));
    ASSERT_EQ(listener.values.size(), 3u);
    EXPECT_EQ(listener.values[1], std::make_pair(1, QVariant(1.5)));

    block.removeListener(&listener);
    block.setValue(TestTraits::C, 3);
    EXPECT_EQ(listener.values.size(), 3u);
}

TEST(Properties, ListenersHearDestructionButAreNotCopied)
{
    RecordingListener listener;
    Properties<TestTraits> *address = nullptr;
    {
        RecordingBlock block;
        address = &block;
        block.addListener(&listener);
        RecordingBlock copy(block);
        copy.setValue(TestTraits::A, 1);
        EXPECT_TRUE(listener.values.empty());
    }
    ASSERT_EQ(listener.destroyed.size(), 1u);
    EXPECT_EQ(listener.destroyed[0], address);
}

TEST(Properties, ListenerMayRemoveItselfAndAddOthersWhileCalled)
{
    RecordingBlock block;
    RecordingListener other;
    // Enough new listeners that the set grows while it is being announced to.
    std::vector<RecordingListener> added(40);
    // Leaves at its first call and registers the others instead.
    class LeavingListener : public RecordingListener
    {
    public:
        RecordingBlock *block = nullptr;
        std::vector<RecordingListener> *replacements = nullptr;
        void valueChanged(int key, const QVariant &value) override
        {
            RecordingListener::valueChanged(key, value);
            block->removeListener(this);
            for (RecordingListener &replacement : *replacements)
                block->addListener(&replacement);
        }
    } leaving;
    leaving.block = &block;
    leaving.replacements = &added;
    block.addListener(&leaving);
    block.addListener(&other);

    block.setValue(TestTraits::A, 1);
    EXPECT_EQ(leaving.values.size(), 1u);
    EXPECT_EQ(other.values.size(), 1u);
    for (const RecordingListener &listener : added)
        EXPECT_TRUE(listener.values.empty()) << "a listener added during a call hears the next change";

    block.setValue(TestTraits::B, 2);
    EXPECT_EQ(leaving.values.size(), 1u);
    EXPECT_EQ(other.values.size(), 2u);
    for (const RecordingListener &listener : added)
        EXPECT_EQ(listener.values.size(), 1u);
    block.removeListener(&other);
    for (RecordingListener &listener : added)
        block.removeListener(&listener);
}

TEST(Properties, AssignAnnouncesUnionOfOldAndNewKeys)
{
    RecordingListener listener; // outlives the block it listens to
    RecordingBlock source;
    source.setValue(TestTraits::B, 20);
    source.setValue(TestTraits::C, 30);

    RecordingBlock target;
    target.setValue(TestTraits::A, 1);
    target.setValue(TestTraits::B, 2);
    target.addListener(&listener);
    target.changes.clear();

    target.assign(source);
    // With a listener the vanished key stays, holding an invalid value.
    EXPECT_EQ(target.keys(), (QList<int>{1, 5, 9}));
    EXPECT_FALSE(target.value(TestTraits::A).isValid());
    EXPECT_EQ(target.value(TestTraits::B).toInt(), 20);
    const std::vector<std::pair<int, ChangeOrigin>> expected = {
        {1, ChangeOrigin::Assigned}, {5, ChangeOrigin::Assigned}, {9, ChangeOrigin::Assigned}};
    EXPECT_EQ(target.changes, expected);
    ASSERT_EQ(listener.values.size(), 3u);
    EXPECT_FALSE(listener.values[0].second.isValid());
    EXPECT_EQ(listener.values[2].second.toInt(), 30);

    // The copy is independent of later changes to the source.
    source.setValue(TestTraits::B, 99);
    EXPECT_EQ(target.value(TestTraits::B).toInt(), 20);

    // Assigning a block that already shares the table still announces every key.
    target.changes.clear();
    target.assign(target);
    EXPECT_EQ(target.changes.size(), 3u);

    // Without a listener the table becomes exactly the source's.
    RecordingBlock unwatched;
    unwatched.setValue(TestTraits::A, 1);
    unwatched.assign(source);
    EXPECT_EQ(unwatched.keys(), (QList<int>{5, 9}));
}

TEST(Properties, VariantConversions)
{
    EXPECT_EQ(variantToInt(QStringLiteral(" 12 ")), 12);
    EXPECT_EQ(variantToInt(QStringLiteral("1 2")), 12);
    EXPECT_EQ(variantToInt(QStringLiteral("abc")), 0);
    EXPECT_EQ(variantToInt(QStringLiteral("2.5")), 0);
    EXPECT_EQ(variantToInt(2.9), 2);
    EXPECT_EQ(variantToInt(-2.9), -2);
    EXPECT_EQ(variantToInt(true), 1);
    EXPECT_EQ(variantToInt(QVariant()), 0);
    EXPECT_EQ(variantToInt(1e12), std::numeric_limits<int>::max());
    EXPECT_EQ(variantToInt(-1e12), std::numeric_limits<int>::min());
    EXPECT_EQ(variantToInt(std::numeric_limits<double>::quiet_NaN()), 0);

    EXPECT_DOUBLE_EQ(variantToDouble(QStringLiteral(" -2.5 ")), -2.5);
    EXPECT_DOUBLE_EQ(variantToDouble(QStringLiteral("volts")), 0.0);
    EXPECT_DOUBLE_EQ(variantToDouble(7), 7.0);
    EXPECT_DOUBLE_EQ(variantToDouble(QVariant()), 0.0);
}

TEST(PropertiesStream, WrittenFormHasHighestKeyFirst)
{
    RecordingBlock block;
    block.setValue(TestTraits::A, 7);
    block.setValue(TestTraits::C, true);

    QByteArray expected;
    QDataStream out(&expected, QIODevice::WriteOnly);
    out << qint32(1) << qint32(2) << qint32(9) << QVariant(true) << qint32(1) << QVariant(7);
    EXPECT_EQ(written(block).toHex(), expected.toHex());
}

TEST(PropertiesStream, RoundTripAnnouncesEveryKeyOnceAsLoaded)
{
    RecordingBlock source;
    source.setValue(TestTraits::A, 1000.0);
    source.setValue(TestTraits::B, QStringLiteral("text"));
    source.setValue(TestTraits::C, -3);
    const QByteArray bytes = written(source);

    RecordingListener listener; // outlives the block it listens to
    RecordingBlock target;
    target.setValue(TestTraits::C, 1);
    target.changes.clear();
    target.addListener(&listener);
    QDataStream in(bytes);
    target.readFrom(in);

    EXPECT_EQ(in.status(), QDataStream::Ok);
    EXPECT_EQ(target.keys(), source.keys());
    for (int key : source.keys())
        EXPECT_EQ(target.value(key), source.value(key)) << key;
    EXPECT_EQ(target.value(TestTraits::A).userType(), QMetaType::Double);
    const std::vector<std::pair<int, ChangeOrigin>> expected = {
        {1, ChangeOrigin::Loaded}, {5, ChangeOrigin::Loaded}, {9, ChangeOrigin::Loaded}};
    EXPECT_EQ(target.changes, expected);
    // Listeners hear every loaded key once, with its loaded value.
    const std::vector<std::pair<int, QVariant>> heard = {
        {1, QVariant(1000.0)}, {5, QVariant(QStringLiteral("text"))}, {9, QVariant(-3)}};
    EXPECT_EQ(listener.values, heard);
}

TEST(PropertiesStream, RepeatedKeysKeepEveryEntryAndYieldTheLastRead)
{
    const QByteArray bytes = tableStream({{5, 1}, {1, 0}, {5, 2}}, 3);
    RecordingBlock block;
    QDataStream in(bytes);
    block.readFrom(in);

    EXPECT_EQ(block.keys(), (QList<int>{1, 5, 5}));
    EXPECT_EQ(block.value(5).toInt(), 2);
    EXPECT_EQ(block.changes.size(), 2u);

    // Written back and read again, the entries and the winning value survive.
    RecordingBlock again;
    QDataStream in2(written(block));
    again.readFrom(in2);
    EXPECT_EQ(again.keys(), (QList<int>{1, 5, 5}));
    EXPECT_EQ(again.value(5).toInt(), 2);
}

TEST(PropertiesStream, ShortOrCorruptTableEmptiesTheBlock)
{
    RecordingBlock source;
    source.setValue(TestTraits::A, 1);
    source.setValue(TestTraits::B, 2);
    const QByteArray full = written(source);

    for (int cut : {4, 8, 12, 20, full.size() - 1}) {
        RecordingBlock block;
        block.setValue(TestTraits::C, 3);
        QDataStream in(full.left(cut));
        block.readFrom(in);
        EXPECT_TRUE(block.keys().isEmpty()) << cut;
        EXPECT_EQ(in.status(), QDataStream::ReadPastEnd) << cut;
    }

    // A count far beyond the data stops at the end of the stream.
    RecordingBlock block;
    QDataStream in(tableStream({{1, 1}}, -1));
    block.readFrom(in);
    EXPECT_TRUE(block.keys().isEmpty());
    EXPECT_EQ(in.status(), QDataStream::ReadPastEnd);
}

TEST(PropertiesStream, StoredListIsCorruptData)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << qint32(1) << qint32(1) << qint32(3) << quint32(QMetaType::QVariantList) << quint8(0)
        << quint32(0x20000000) << QVariant(1);
    RecordingBlock block;
    block.setValue(TestTraits::A, 1);
    QDataStream in(bytes);
    EXPECT_NO_THROW(block.readFrom(in));
    EXPECT_TRUE(block.keys().isEmpty());
    EXPECT_EQ(in.status(), QDataStream::ReadCorruptData);
}

TEST(PropertiesStream, DateTimeInUnknownZoneIsCorruptData)
{
    // Qt can crash reading or writing such a value.
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << qint32(1) << qint32(1) << qint32(3) << quint32(QMetaType::QDateTime) << quint8(0)
        << qint64(2459000) << quint32(0) << qint8(3) << QStringLiteral("No/Such_Zone");
    RecordingBlock block;
    QDataStream in(bytes);
    block.readFrom(in);
    EXPECT_TRUE(block.keys().isEmpty());
    EXPECT_EQ(in.status(), QDataStream::ReadCorruptData);
    EXPECT_FALSE(written(block).isEmpty());

}

TEST(PropertiesStream, PlainValuesReadInEveryStreamFormat)
{
    RecordingBlock source;
    source.setValue(1, true);
    source.setValue(2, -7);
    source.setValue(3, 4000000000u);
    source.setValue(4, -(qlonglong(1) << 40));
    source.setValue(5, 2.5);
    source.setValue(6, QStringLiteral(" 12 "));
    source.setValue(7, QByteArray("3.5"));
    source.setValue(8, QVariant());
    for (int version : {int(QDataStream::Qt_3_3), int(QDataStream::Qt_4_0),
                        int(QDataStream::Qt_5_0), int(QDataStream::Qt_5_15)}) {
        for (auto order : {QDataStream::BigEndian, QDataStream::LittleEndian}) {
            QByteArray bytes;
            QDataStream out(&bytes, QIODevice::WriteOnly);
            out.setVersion(version);
            out.setByteOrder(order);
            source.writeTo(out);
            QDataStream in(bytes);
            in.setVersion(version);
            in.setByteOrder(order);
            RecordingBlock loaded;
            loaded.readFrom(in);
            EXPECT_EQ(in.status(), QDataStream::Ok) << version << order;
            EXPECT_EQ(loaded.keys(), source.keys()) << version << order;
            EXPECT_EQ(variantToInt(loaded.value(6)), 12);
            EXPECT_EQ(variantToDouble(loaded.value(5)), 2.5);
        }
    }
}

TEST(PropertiesStream, EarlierStreamErrorIsKept)
{
    RecordingBlock source;
    source.setValue(TestTraits::A, 1);
    QByteArray bytes = written(source);
    QDataStream in(bytes);
    in.setStatus(QDataStream::ReadCorruptData);

    RecordingBlock block;
    block.readFrom(in);
    EXPECT_EQ(block.value(TestTraits::A).toInt(), 1) << "the table itself read fine";
    EXPECT_EQ(in.status(), QDataStream::ReadCorruptData);
}

TEST(PropertiesStream, UnsupportedVersionsThrowAndLeaveTheBlock)
{
    // Template version, then the block version in front of it.
    for (qint32 version : {0, 2}) {
        QByteArray bytes;
        QDataStream(&bytes, QIODevice::WriteOnly) << version << qint32(0);
        RecordingBlock block;
        block.setValue(TestTraits::A, 1);
        QDataStream in(bytes);
        try {
            block.readFrom(in);
            ADD_FAILURE() << "no exception for version " << version;
        } catch (const StreamableVersionException &e) {
            EXPECT_EQ(e.version, version);
            EXPECT_TRUE(e.file.endsWith(QStringLiteral("Properties"))) << e.file.toStdString();
            EXPECT_GT(e.line, 0);
        }
        EXPECT_EQ(block.value(TestTraits::A).toInt(), 1);

        Veldrin_I_DriverDAC dac;
        dac.setValue(Veldrin_I_DriverDAC::Waveform, 1);
        QByteArray dacBytes;
        QDataStream(&dacBytes, QIODevice::WriteOnly) << version << qint32(1) << qint32(0);
        QDataStream dacIn(dacBytes);
        try {
            dac.readFrom(dacIn);
            ADD_FAILURE() << "no exception for block version " << version;
        } catch (const StreamableVersionException &e) {
            EXPECT_EQ(e.version, version);
            EXPECT_TRUE(e.file.endsWith(QStringLiteral("Veldrin_I_DriverDAC.cpp")));
        }
        EXPECT_EQ(dac.value(Veldrin_I_DriverDAC::Waveform).toInt(), 1);
        EXPECT_EQ(dacIn.device()->pos(), 4) << "nothing read after the version";
    }
}

TEST(PropertiesStream, BlocksWithAndWithoutBlockVersion)
{
    Veldrin_I_DriverDAC dac;
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    dac.writeTo(out);
    QDataStream header(bytes);
    qint32 blockVersion = 0, templateVersion = 0, count = 0;
    header >> blockVersion >> templateVersion >> count;
    EXPECT_EQ(blockVersion, 1);
    EXPECT_EQ(templateVersion, 1);
    EXPECT_EQ(count, 4);

    // The calibration block streams the template's form only, and no tables.
    Veldrin_I_DriverUserData userData;
    QByteArray userBytes;
    QDataStream userOut(&userBytes, QIODevice::WriteOnly);
    userData.writeTo(userOut);
    QByteArray expected;
    QDataStream(&expected, QIODevice::WriteOnly) << qint32(1) << qint32(0);
    EXPECT_EQ(userBytes, expected);
}
