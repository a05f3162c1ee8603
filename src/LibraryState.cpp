#include "LibraryState.h"

#include "FtdiBackend.h"
#include "SimulatedBus.h"
#include "SimulatedBusFactory.h"

LibraryState &LibraryState::instance()
{
    // Created on first use and destroyed when the library is unloaded or the
    // process ends; its destructor is the unload hook.
    static LibraryState state;
    return state;
}

LibraryState::LibraryState() = default;

LibraryState::~LibraryState()
{
    // Unload: shut a remaining device manager down as closeLibrary would,
    // without the lock (no export can run any more).
    manager.reset();
}

void LibraryState::selectVendorLibrary()
{
    m_selected.reset();
    m_libFtdiSelected = false;
    m_selectionPending = true;
}

void LibraryState::selectLibFtdi()
{
    m_selected.reset();
    m_libFtdiSelected = true;
    m_selectionPending = true;
}

bool LibraryState::selectSimulatedBus(const QString &description)
{
    std::shared_ptr<SimulatedBus> bus = SimulatedBusFactory::build(description);
    if (!bus)
        return false;
    m_selected = std::move(bus);
    m_libFtdiSelected = false;
    m_selectionPending = true;
    return true;
}

void LibraryState::installSelectedProvider()
{
    if (!m_selectionPending)
        return;
    // An empty provider makes FtdiBackend load FTDI's library afresh.
    if (m_libFtdiSelected)
        FtdiBackend::useLibFtdi();
    else
        FtdiBackend::setCurrent(m_selected);
    m_selectionPending = false;
}
