#include "LibraryState.h"

#include "FtdiBackend.h"
#include "SimulatedBus.h"
#include "SimulatedBusFactory.h"
#include "USBPacketProtocol.h"

#if defined(_WIN32)
#include <windows.h>

#include <atomic>

namespace {

// Set when the DLL is detached because the process ends: Windows has then
// ended every other thread already, wherever it was (perhaps holding a lock
// the shutdown would take), and may have detached FTD2XX.dll before this DLL.
std::atomic<bool> processEnding{false};

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    // Runs before the static objects' destructors (LibraryState's is the
    // unload hook proper).
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr)
        processEnding = true;
    return TRUE;
}
#endif

LibraryState &LibraryState::instance()
{
    // Created on first use and destroyed when the library is unloaded or the
    // process ends; its destructor is the unload hook.
    static LibraryState state;
    return state;
}

LibraryState::LibraryState()
{
    // Static objects go in the reverse order of their making, and the unload
    // hook (the destructor) shuts open instruments down while their protocol
    // threads still signal queue changes: that signal is made first, so that
    // it outlives this state.
    USBPacketProtocol::queueChanges();
}

LibraryState::~LibraryState()
{
#if defined(_WIN32)
    // Process end with instruments opened: their threads were ended by
    // Windows, so a shutdown could wait forever on a lock one of them held,
    // or call into an FTD2XX.dll already detached. Windows closes the vendor
    // handles with the process; the manager is left to it.
    if (m_heldModule && processEnding) {
        (void)manager.release();
        return;
    }
#endif
    // Unload: shut a remaining device manager down as closeLibrary would,
    // without the lock (no export can run any more). On Windows this is
    // reached with the manager's instruments opened only at process end (see
    // holdModule), so no thread is waited for under the loader lock.
    manager.reset();
}

void LibraryState::holdModule()
{
#if defined(_WIN32)
    if (m_heldModule)
        return;
    HMODULE module = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCWSTR>(&LibraryState::instance), &module))
        m_heldModule = module;
#endif
}

void LibraryState::releaseModule()
{
#if defined(_WIN32)
    // Called from an export: the host that calls it holds a reference of
    // its own, so this never unloads the code it runs in.
    if (m_heldModule && !manager) {
        FreeLibrary(static_cast<HMODULE>(m_heldModule));
        m_heldModule = nullptr;
    }
#endif
}

void LibraryState::selectVendorLibrary()
{
    m_selected.reset();
    m_libFtdiSelected = false;
    m_selectionPending = true;
    m_selectionError.clear();
}

void LibraryState::selectLibFtdi()
{
    m_selected.reset();
    m_libFtdiSelected = true;
    m_selectionPending = true;
    m_selectionError.clear();
}

bool LibraryState::selectSimulatedBus(const QString &description, bool missing)
{
    if (missing) {
        m_selectionError = QStringLiteral("no description given (a null pointer); an empty text is a bus with no device");
        return false;
    }
    QString reason;
    std::shared_ptr<SimulatedBus> bus = SimulatedBusFactory::build(description, &reason);
    if (!bus) {
        m_selectionError = reason;
        return false;
    }
    m_selected = std::move(bus);
    m_libFtdiSelected = false;
    m_selectionPending = true;
    m_selectionError.clear();
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
