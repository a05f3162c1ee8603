// Feeds arbitrary bytes to the information-page decoder, both directly and as
// the reply of a page read whose size comes from the first two input bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <QByteArray>

#include "BootloaderCommRequest.h"
#include "DeviceInfo.h"

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void checkRecord(const DeviceInfo &info, const QByteArray &page)
{
    if (info.recognised == 0) {
        check(info == DeviceInfo());
        return;
    }
    check(info.recognised == 1 && page.size() >= 100);
    check(info.label.size() <= 40 && info.serialNumber.size() <= 16);
    check(!info.valid || info.serialNumber.size() >= 5);
    check(info.versionPair.first >= 0 && info.versionPair.first <= 0xFFFF);
    check(info.versionPair.second >= 0 && info.versionPair.second <= 0xFFFF);
    check(page.at(3) == 2 || info.word74 == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    checkRecord(DeviceInfo::fromPage(bytes), bytes);

    if (bytes.size() >= 2) {
        BootloaderCommRequest sizeRequest(GetPageSize, 0);
        sizeRequest.setReceivedData(bytes.left(2));
        BootloaderCommRequest pageRequest(ReadPage, sizeRequest.replyPageSize());
        pageRequest.setReceivedData(bytes.mid(2));
        if (pageRequest.isPageIntact()) {
            const QByteArray page = pageRequest.receivedData();
            check(page.size() == pageRequest.pageSize());
            checkRecord(DeviceInfo::fromPage(page), page);
        }
    }
    return 0;
}
