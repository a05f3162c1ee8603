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
    // false (and nothing else changes) when the description is malformed or
    // missing (`missing`: the host passed none), with the reason kept as
    // selectionError.
    bool selectSimulatedBus(const QString &description, bool missing = false);
    // Why the last selection failed; empty after one that succeeded.
    QString selectionError() const { return m_selectionError; }
    // Makes the chosen provider the one the USB layer enumerates and opens
    // through; called by initialise.
    void installSelectedProvider();

    // Windows: a DLL cannot wait for threads while it is being unloaded (the
    // loader lock it runs under is the one an ending thread needs), and its
    // code must not vanish under threads that still run. So once an export
    // has opened (or tried to open) an instrument, the library holds a
    // reference to its own DLL: a host that unloads it without closeLibrary
    // leaves it loaded, its instruments' threads running, until the process
    // ends. releaseModule (after the device manager is gone, in closeLibrary
    // and initialise) gives the reference back. Elsewhere both do nothing.
    void holdModule();
    void releaseModule();

private:
    LibraryState();
    ~LibraryState();

    bool m_selectionPending = false;
    // Null means the vendor library, or libftdi1 when m_libFtdiSelected.
    std::shared_ptr<FtdiApi> m_selected;
    bool m_libFtdiSelected = false;
    QString m_selectionError;
    void *m_heldModule = nullptr;
};
