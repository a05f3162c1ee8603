#pragma once

#include <mutex>
#include <QString>
#include <memory>

#include "DeviceManager.h"

class FtdiApi;

// The process-wide state behind the exports: the lock every export holds, the
// device manager (null while not initialised) and the provider chosen for the
// next initialise. Destroyed when the library is unloaded or the process ends,
// which also shuts a remaining device manager down.
class LibraryState
{
public:
    static LibraryState &instance();

    // A standard mutex rather than QMutex, so ThreadSanitizer sees every hand-over.
    std::mutex apiMutex;
    std::unique_ptr<DeviceManager> manager;

    // Chooses FTDI's D2XX library for the next initialise.
    void selectVendorLibrary();
    // Chooses libftdi1 for the next initialise (loaded then).
    void selectLibFtdi();
    // Chooses the simulated bus described by the text for the next initialise;
    // false (and nothing changes) when the description is malformed.
    bool selectSimulatedBus(const QString &description);
    // Makes the chosen provider the one the USB layer enumerates and opens
    // through; called by initialise.
    void installSelectedProvider();

private:
    LibraryState();
    ~LibraryState();

    bool m_selectionPending = false;
    // Null means the vendor library, or libftdi1 when m_libFtdiSelected.
    std::shared_ptr<FtdiApi> m_selected;
    bool m_libFtdiSelected = false;
};
