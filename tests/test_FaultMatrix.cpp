// Faults at every phase of an instrument's use, one row each: what strikes and
// when, what the host does that meets it, the status that call gives, the
// device's last error text afterwards, how long the host waits for that
// status, and that the instrument measures correctly again once the fault is
// gone (after initialise where the row says so).
//
// The instrument under test is device 1 of each row's bus. Its inputs see
// fixed voltages (input 1 +1.25 V, input 2 -0.75 V), so that a correct
// measurement is recognised by its values alone.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QString>
#include <QThread>
#include <QVector>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "DeviceManager.h"
#include "FtdiBackend.h"
#include "LibraryState.h"
#include "SimulatedBus.h"
#include "SimulatedFtdiChip.h"
#include "SimulatedInformationPage.h"
#include "SimulatedInstrument.h"
#include "SimulatedInstrumentII.h"
#include "VeldrinLib.h"
#include "Veldrin_II_DriverDevice.h"
#include "Veldrin_I_DriverDevice.h"

namespace {

// The observed measurement was still incomplete when the row's time ran out.
constexpr int Incomplete = -1;

// When the fault strikes. Listing: the bus description carries it, so it is
// there when initialise lists and identifies the instrument.
enum class Phase { Listing, BeforeOpen, DuringOpen, Idle, Measuring, Sweeping, Closing };

// What the host does that meets the fault, and what is timed:
// FirstCall  isMeasurementComplete, the first call naming the instrument (it
//            opens the instrument unless it is open); that call.
// Setting    setDACOffset (which returns 0 at once), then isMeasurementComplete,
//            which waits for the setting's answer; the second call.
// Start      runMeasurement of 200 samples, then Poll.
// Poll       isMeasurementComplete every millisecond until it fails or reports
//            the measurement complete; from the fault (or the start) on.
// Watch      getCalibrationState every millisecond until it fails or the
//            row's time is up (0 then).
// Close      closeLibrary; that call.
enum class Observe { FirstCall, Setting, Start, Poll, Watch, Close };

struct Rig
{
    SimulatedFtdiChip &chip;
    SimulatedInstrument &instrument;
};
using Action = void (*)(Rig &);

struct Row
{
    const char *name;
    const char *bus;
    Phase phase;
    Action fault;           // nullptr: the description carries it
    Observe observe;
    int status;             // what the observed call gives, or Incomplete
    const char *lastError;  // the device's last error text; nullptr: no device to ask
    int minMs, maxMs;       // the observed call's time (Incomplete: observed for maxMs)
    Action repair;          // nullptr: nothing to undo
    bool reinitialise;      // the later measurement needs initialise first
};

void PrintTo(const Row &row, std::ostream *out)
{
    *out << row.name;
}

// --- faults and repairs ------------------------------------------------------

void unplug(Rig &r) { r.chip.setFault(SimulatedFtdiChip::Unplugged); }
void plugIn(Rig &r) { r.chip.setFault(SimulatedFtdiChip::Unplugged, false); }
void failEeprom(Rig &r) { r.chip.setFault(SimulatedFtdiChip::EepromReadFailure); }
void mendEeprom(Rig &r) { r.chip.setFault(SimulatedFtdiChip::EepromReadFailure, false); }
void blankEeprom(Rig &r) { r.chip.setFault(SimulatedFtdiChip::BlankEeprom); }
void programEeprom(Rig &r) { r.chip.setFault(SimulatedFtdiChip::BlankEeprom, false); }
void shortenWrites(Rig &r) { r.chip.setFault(SimulatedFtdiChip::ShortWrites); }
void mendWrites(Rig &r) { r.chip.setFault(SimulatedFtdiChip::ShortWrites, false); }
void bootAnswersDone(Rig &r) { r.instrument.setBootStatus(0); }
void answerAgain(Rig &r) { r.instrument.setReplying(true); }
void storeCalibration(Rig &r) { r.instrument.setCalibrationStored(true); }
void stallStream(Rig &r) { r.instrument.stopStreamAfter(2); }
void strayByte(Rig &r) { r.instrument.corruptNextStreamPacket(); }

// Puts the information page back as shipped: marker, full length, accepted
// firmware, followed by FF FF.
void mendPage(Rig &r)
{
    SimulatedInformationPage page = r.instrument.informationPage();
    page.setMarker(SimulatedInformationPage::standardMarker());
    page.setSize(SimulatedInformationPage::DefaultSize);
    page.setFirmwareVersion(r.instrument.model() == 4 ? 1 : 3);
    r.instrument.setInformationPage(page);
    r.instrument.setPageIntact(true);
}

// Framed actions and instructions by number: boot actions 0x12 (read the
// information page) and 0x14 (page size); 32 start, 36 generation I DAC,
// 37 generation II DAC 1, 70 generation II DAC 2 read, 72 generation II
// calibration read.
template <quint8 Command, quint8 Status>
void answerWith(Rig &r) { r.instrument.overrideStatus(Command, Status, 1); }
template <quint8 Command>
void lose(Rig &r) { r.instrument.dropRequests(Command, 1); }
template <quint8 Command, int Bytes>
void cutShort(Rig &r) { r.instrument.shortenReplies(Command, Bytes, 1); }

// --- the matrix ----------------------------------------------------------------

const char *const Timeout = "Communication timed out";
const char *const Success = "Success";
const char *const Unreachable = "Communication error"; // a vendor call on a vanished device

// An opening pauses 600 ms before it reads the information page and 50 ms
// after it is accepted; a request gives up after 4000 ms. An opening that
// fails does not record why: the last error stays as it was ("Success").
const Row rows[] = {
    // Listed with the fault already there.
    {"UnpluggedBeforeInitialise", "gen2 signal=dc fault=unplugged", Phase::Listing, nullptr,
     Observe::FirstCall, 1, nullptr, 0, 50, plugIn, true},
    {"EepromUnreadable", "gen2 signal=dc fault=eeprom-fail", Phase::Listing, nullptr,
     Observe::FirstCall, 3, Success, 0, 100, mendEeprom, false},
    {"ShortWrites", "gen1 signal=dc fault=short-write", Phase::Listing, nullptr,
     Observe::FirstCall, 4, Success, 0, 100, mendWrites, false},
    {"BootFirmwareBusy", "gen2 signal=dc fault=busy", Phase::Listing, nullptr,
     Observe::FirstCall, 7, Success, 600, 900, bootAnswersDone, false},
    {"BootFirmwareRecognisesNothing", "gen1 signal=dc fault=unknown-instruction", Phase::Listing, nullptr,
     Observe::FirstCall, 7, Success, 600, 900, bootAnswersDone, false},
    {"InstrumentSilent", "gen2 signal=dc fault=no-reply", Phase::Listing, nullptr,
     Observe::FirstCall, 7, Success, 4600, 5000, answerAgain, false},
    {"PageWithoutMarker", "gen2 signal=dc fault=bad-marker", Phase::Listing, nullptr,
     Observe::FirstCall, 8, Success, 600, 900, mendPage, false},
    {"PageCutShort", "gen1 signal=dc fault=short-page", Phase::Listing, nullptr,
     Observe::FirstCall, 8, Success, 600, 900, mendPage, false},
    {"PageNotFollowedByItsEnd", "gen2 signal=dc fault=corrupt-page", Phase::Listing, nullptr,
     Observe::FirstCall, 7, Success, 600, 900, mendPage, false},
    {"FirmwareNotAccepted", "gen2 signal=dc firmware=2", Phase::Listing, nullptr,
     Observe::FirstCall, 9, Success, 600, 900, mendPage, false},
    {"CalibrationErased", "gen2 signal=dc fault=no-calibration", Phase::Listing, nullptr,
     Observe::FirstCall, 0, Success, 600, 900, storeCalibration, true},

    // Between listing and opening, and while opening.
    {"UnpluggedBeforeOpening", "gen2 signal=dc", Phase::BeforeOpen, unplug,
     Observe::FirstCall, 3, Success, 0, 100, plugIn, false},
    {"UnpluggedWhileOpening", "gen1 signal=dc", Phase::DuringOpen, unplug,
     Observe::FirstCall, 7, Success, 600, 900, plugIn, false},
    {"EepromFailsAtOpening", "gen1 signal=dc", Phase::BeforeOpen, failEeprom,
     Observe::FirstCall, 3, Success, 0, 100, mendEeprom, false},
    {"EepromBlankAtOpening", "gen2 signal=dc", Phase::BeforeOpen, blankEeprom,
     Observe::FirstCall, 3, Success, 0, 100, programEeprom, false},
    {"PageSizeBusyAtOpening", "gen2 signal=dc", Phase::BeforeOpen, answerWith<0x14, 2>,
     Observe::FirstCall, 7, Success, 600, 900, nullptr, false},
    {"PageReadLostAtOpening", "gen1 signal=dc", Phase::BeforeOpen, lose<0x12>,
     Observe::FirstCall, 7, Success, 4600, 5000, nullptr, false},
    {"DacReadCutShortAtOpening", "gen2 signal=dc", Phase::BeforeOpen, cutShort<70, 2>,
     Observe::FirstCall, 0, "Unexpected packet length.", 600, 900, nullptr, false},
    // The opening succeeds on the nominal calibration, whose volts are a few
    // hundredths off, and the DAC read-backs after the calibration's succeed:
    // only a new opening reads the calibration again.
    {"CalibrationReadCutShortAtOpening", "gen2 signal=dc", Phase::BeforeOpen, cutShort<72, 2>,
     Observe::FirstCall, 0, Success, 600, 900, nullptr, true},

    // Open and idle.
    {"UnpluggedWhileIdle", "gen2 signal=dc", Phase::Idle, unplug,
     Observe::Watch, 27, Unreachable, 0, 100, plugIn, true},
    {"SettingAnsweredBusy", "gen2 signal=dc", Phase::Idle, answerWith<37, 2>,
     Observe::Setting, 0, "Target device is busy", 0, 100, nullptr, false},
    {"SettingAnsweredOutOfRange", "gen1 signal=dc", Phase::Idle, answerWith<36, 100>,
     Observe::Setting, 0, "Usnupported analog channel function", 0, 100, nullptr, false},
    {"SettingLost", "gen2 signal=dc", Phase::Idle, lose<37>,
     Observe::Setting, 0, Timeout, 4000, 4400, nullptr, false},
    // The instrument keeps the frame cut short and takes the next bytes for
    // its rest until the chip is opened again (see the disabled test below).
    {"SettingWrittenShort", "gen2 signal=dc", Phase::Idle, shortenWrites,
     Observe::Setting, 0, Timeout, 0, 100, mendWrites, true},
    {"StartNotRecognised", "gen2 signal=dc", Phase::Idle, answerWith<32, 1>,
     Observe::Start, Incomplete, "Instruction was not recognised by target device", 1000, 1000, nullptr, false},
    {"StartAnsweredWithAnUnknownStatus", "gen1 signal=dc", Phase::Idle, answerWith<32, 7>,
     Observe::Start, Incomplete, "Instruction stream was corrupted (unexpected return value [7])", 1000, 1000,
     nullptr, false},
    {"StartLost", "gen2 signal=dc", Phase::Idle, lose<32>,
     Observe::Start, Incomplete, Timeout, 5000, 5000, nullptr, false},

    // While measuring (1000 samples, one second) and sweeping (4 points of 0.1 s).
    {"StreamStalls", "gen2 signal=dc", Phase::Measuring, stallStream,
     Observe::Poll, Incomplete, Success, 1500, 1500, nullptr, false},
    {"StrayByteBeforeAStreamPacket", "gen1 signal=dc", Phase::Measuring, strayByte,
     Observe::Poll, 0, "Communication stream is corrupted.", 850, 1100, nullptr, false},
    {"UnpluggedDuringAMeasurement", "gen1 signal=dc", Phase::Measuring, unplug,
     Observe::Poll, 27, Unreachable, 0, 100, plugIn, true},
    {"UnpluggedDuringASweep", "gen2 signal=dc", Phase::Sweeping, unplug,
     Observe::Poll, 27, Unreachable, 0, 100, plugIn, true},

    // While closing, with a measurement streaming.
    {"UnpluggedWhileClosing", "gen2 signal=dc", Phase::Closing, unplug,
     Observe::Close, 0, nullptr, 190, 400, plugIn, true},
};

// --- the runner -----------------------------------------------------------------

// The device's last error text, as the library keeps it for diagnosis, read
// under the API lock from the device that the exports name.
QString lastErrorText(int deviceIndex)
{
    std::lock_guard<std::mutex> lock(LibraryState::instance().apiMutex);
    const std::unique_ptr<DeviceManager> &manager = LibraryState::instance().manager;
    const std::shared_ptr<VeldrinDriverDevice> device = manager ? manager->deviceAt(deviceIndex) : nullptr;
    if (auto *first = dynamic_cast<Veldrin_I_DriverDevice *>(device.get()))
        return first->lastResult().toString();
    if (auto *second = dynamic_cast<Veldrin_II_DriverDevice *>(device.get()))
        return second->lastResult().toString();
    return QStringLiteral("(no device %1)").arg(deviceIndex);
}

double levelOf(int channel)
{
    return channel == 1 ? 1.25 : -0.75;
}

// `samples` values on each input, each near the input's voltage.
::testing::AssertionResult holdsMeasurement(int device, int samples)
{
    for (int channel = 1; channel <= 2; ++channel) {
        QVector<double> values(samples + 1);
        int count = -1;
        const int status = getResult(device, channel, &count, values.data());
        if (status != 0 || count != samples)
            return ::testing::AssertionFailure() << "input " << channel << ": status " << status << ", "
                                                 << count << " values instead of " << samples;
        for (int i = 0; i < count; ++i) {
            if (!(std::fabs(values[i] - levelOf(channel)) <= 0.02))
                return ::testing::AssertionFailure() << "input " << channel << " value " << i << " is "
                                                     << values[i] << ", expected " << levelOf(channel);
        }
    }
    return ::testing::AssertionSuccess();
}

// Polls as a host does until a call fails or, unless `untilFailure`, the
// measurement is complete: that status, or once `ms` have passed Incomplete
// (0 when `untilFailure`).
int pollFor(int device, qint64 ms, bool untilFailure = false)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        bool complete = false;
        int state = 0;
        // Watching for a failure asks for something that talks to the
        // instrument: a measurement completed before a loss stays complete.
        const int status = untilFailure ? getCalibrationState(device, &state)
                                        : isMeasurementComplete(device, &complete);
        if (status != 0)
            return status;
        if (complete && !untilFailure)
            return 0;
        if (timer.elapsed() >= ms)
            return untilFailure ? 0 : Incomplete;
        QThread::msleep(1);
    }
}

class FaultMatrix : public ::testing::TestWithParam<Row>
{
protected:
    void TearDown() override
    {
        if (m_injector.joinable())
            m_injector.join();
        closeLibrary();
        useFtdiLibrary();
    }

    Rig rig()
    {
        const auto bus = std::dynamic_pointer_cast<SimulatedBus>(FtdiBackend::current());
        m_chip = bus->chips().at(0);
        m_instrument = std::dynamic_pointer_cast<SimulatedInstrument>(m_chip->peer());
        return Rig{*m_chip, *m_instrument};
    }

    // Strikes `fault` from another thread after `delayMs`.
    void strikeLater(Action fault, int delayMs)
    {
        Rig r = rig();
        m_injector = std::thread([fault, delayMs, r]() mutable {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            fault(r);
        });
    }

    std::shared_ptr<SimulatedFtdiChip> m_chip;
    std::shared_ptr<SimulatedInstrument> m_instrument;
    std::thread m_injector;
};

TEST_P(FaultMatrix, StatusLastErrorTimeAndRecovery)
{
    const Row &row = GetParam();
    ASSERT_EQ(useSimulatedBus(row.bus), 0);
    ASSERT_EQ(initialise(), 0);
    Rig r = rig();
    bool complete = false;
    if (row.phase >= Phase::Idle) {
        ASSERT_EQ(isMeasurementComplete(1, &complete), 0) << "opening before the fault";
    }

    // The fault strikes.
    QElapsedTimer timer;
    timer.start();
    int measured = 0; // the samples a measurement that completes holds
    switch (row.phase) {
    case Phase::Listing:
        break;
    case Phase::BeforeOpen:
    case Phase::Idle:
        row.fault(r);
        break;
    case Phase::DuringOpen:
        // Into the 600 ms pause after the boot firmware's start step.
        strikeLater(row.fault, 300);
        break;
    case Phase::Measuring:
        ASSERT_EQ(runMeasurement(1, 3, 6, 1000), 0);
        measured = 1000;
        QThread::msleep(100);
        row.fault(r);
        timer.restart();
        break;
    case Phase::Sweeping:
        ASSERT_EQ(run2DSweepMeasurement(1, 3, 4, 500, 4), 0);
        QThread::msleep(150);
        row.fault(r);
        timer.restart();
        break;
    case Phase::Closing:
        ASSERT_EQ(runMeasurement(1, 3, 6, 1000), 0);
        QThread::msleep(100);
        strikeLater(row.fault, 20);
        break;
    }

    // The host meets it.
    int status = 0;
    switch (row.observe) {
    case Observe::FirstCall:
        timer.restart();
        status = isMeasurementComplete(1, &complete);
        break;
    case Observe::Setting:
        ASSERT_EQ(setDACOffset(1, 1, 250), 0);
        timer.restart();
        status = isMeasurementComplete(1, &complete);
        break;
    case Observe::Start:
        ASSERT_EQ(runMeasurement(1, 3, 6, 200), 0);
        measured = 200;
        timer.restart();
        status = pollFor(1, row.maxMs);
        break;
    case Observe::Poll:
        status = pollFor(1, row.maxMs);
        break;
    case Observe::Watch:
        status = pollFor(1, row.maxMs, true);
        break;
    case Observe::Close:
        timer.restart();
        status = closeLibrary();
        break;
    }
    const qint64 elapsed = timer.elapsed();
    EXPECT_EQ(status, row.status);
    EXPECT_GE(elapsed, row.minMs);
    // A poll that runs out of time ends with its last call.
    EXPECT_LE(elapsed, row.maxMs + (status == Incomplete ? 50 : 0));
    if (status == 0 && measured > 0) {
        EXPECT_TRUE(holdsMeasurement(1, measured));
    }
    if (status == Incomplete) {
        int count = -1;
        QVector<double> values(measured + 1);
        ASSERT_EQ(getResult(1, 1, &count, values.data()), 0);
        EXPECT_LT(count, measured) << "an incomplete measurement holds fewer samples";
    }

    // What the device keeps as its last error; the protocol thread may still
    // be on its way to record it.
    if (row.lastError) {
        QElapsedTimer settle;
        settle.start();
        while (lastErrorText(1) != QLatin1String(row.lastError) && settle.elapsed() < 500)
            QThread::msleep(1);
        EXPECT_EQ(lastErrorText(1).toStdString(), row.lastError);
    }
    if (m_injector.joinable())
        m_injector.join();

    // Once the fault is gone the instrument measures correctly again.
    if (row.repair)
        row.repair(r);
    if (row.reinitialise || row.observe == Observe::Close) {
        ASSERT_EQ(initialise(), 0);
    }
    ASSERT_EQ(runMeasurement(1, 3, 6, 100), 0);
    ASSERT_EQ(pollFor(1, 5000), 0);
    EXPECT_TRUE(holdsMeasurement(1, 100));
}

// A generation II instrument on a bus of its own, opened by a first export.
class FaultMatrixShortWrite : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(useSimulatedBus("gen2 signal=dc"), 0);
        ASSERT_EQ(initialise(), 0);
        const auto bus = std::dynamic_pointer_cast<SimulatedBus>(FtdiBackend::current());
        chip = bus->chips().at(0);
        instrument = std::dynamic_pointer_cast<SimulatedInstrumentII>(chip->peer());
        ASSERT_EQ(isMeasurementComplete(1, &complete), 0);
    }

    std::shared_ptr<SimulatedFtdiChip> chip;
    std::shared_ptr<SimulatedInstrumentII> instrument;
    bool complete = false;
};

// A chip that takes each write in pieces (its time-out expiring while its
// buffer is full) still delivers every frame whole: the transport writes the
// rest again, so the instrument never takes one frame's bytes for another's.
TEST_F(FaultMatrixShortWrite, AWriteTakenInPiecesReachesTheInstrumentWhole)
{
    const auto offset = [&] {
        const QByteArray settings = instrument->dacSettings(1);
        return quint8(settings.at(5)) | quint8(settings.at(6)) << 8;
    };

    chip->setFault(SimulatedFtdiChip::PartialWrites);
    for (int millivolts : {250, 500, 1234}) {
        ASSERT_EQ(setDACOffset(1, 1, millivolts), 0);
        ASSERT_EQ(isMeasurementComplete(1, &complete), 0);
        EXPECT_EQ(offset(), millivolts);
        EXPECT_EQ(lastErrorText(1).toStdString(), "Success");
    }
    ASSERT_EQ(runMeasurement(1, 3, 6, 100), 0);
    ASSERT_EQ(pollFor(1, 2000), 0);
    EXPECT_TRUE(holdsMeasurement(1, 100));
    chip->setFault(SimulatedFtdiChip::PartialWrites, false);
    closeLibrary();
    useFtdiLibrary();
}

// DISABLED: a write that the chip takes short, and whose rest it then refuses
// for a whole time-out, leaves the instrument out of step. The frame lacks its
// last byte, so the instrument takes the first byte of the next request for it and carries the setting out with that byte (a
// DAC offset of 0x05FA mV, 1.53 V, where 250 mV was sent); it skips the rest
// of the next request or reads its bytes as raw actions, and every request
// lost that way costs its 4 s time-out, until the chip is opened again. The
// transport reports the short write as "Communication timed out" and sends
// the next frame as if the instrument were in step. Sound: a frame reaches
// the instrument whole or the link is brought back in step before the next
// one (the frame's rest sent, or the instrument's receiver reset).
TEST_F(FaultMatrixShortWrite, DISABLED_AWriteCutShortLeavesTheInstrumentInStep)
{
    const QByteArray before = instrument->dacSettings(1);

    chip->setFault(SimulatedFtdiChip::ShortWrites);
    ASSERT_EQ(setDACOffset(1, 1, 250), 0);
    ASSERT_EQ(isMeasurementComplete(1, &complete), 0);
    chip->setFault(SimulatedFtdiChip::ShortWrites, false);
    // The setting cut short is either not carried out or carried out as sent.
    const QByteArray afterCut = instrument->dacSettings(1);
    EXPECT_TRUE(afterCut == before || (quint8(afterCut.at(5)) == 0xFA && afterCut.at(6) == 0))
        << afterCut.toHex(' ').toStdString();

    QElapsedTimer timer;
    timer.start();
    ASSERT_EQ(setDACOffset(1, 1, 500), 0);
    ASSERT_EQ(isMeasurementComplete(1, &complete), 0);
    EXPECT_LT(timer.elapsed(), 100);
    EXPECT_EQ(lastErrorText(1).toStdString(), "Success");
    const QByteArray next = instrument->dacSettings(1);
    EXPECT_EQ(quint8(next.at(5)) | quint8(next.at(6)) << 8, 500);
    ASSERT_EQ(runMeasurement(1, 3, 6, 100), 0);
    ASSERT_EQ(pollFor(1, 2000), 0);
    EXPECT_TRUE(holdsMeasurement(1, 100));
    closeLibrary();
    useFtdiLibrary();
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::ValuesIn(rows),
                         [](const ::testing::TestParamInfo<Row> &info) { return std::string(info.param.name); });

} // namespace
