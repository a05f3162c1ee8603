#include "FtdiBackend.h"

#include <mutex>

#include "FtdiLibrary.h"
#include "LibFtdiLibrary.h"

namespace {

std::mutex &backendMutex()
{
    static std::mutex mutex;
    return mutex;
}

// Guarded by backendMutex(); empty until first used or set.
std::shared_ptr<FtdiApi> &currentApi()
{
    static std::shared_ptr<FtdiApi> api;
    return api;
}

} // namespace

std::shared_ptr<FtdiApi> FtdiBackend::current()
{
    std::lock_guard<std::mutex> lock(backendMutex());
    std::shared_ptr<FtdiApi> &api = currentApi();
    if (!api)
        api = std::make_shared<FtdiLibrary>();
    return api;
}

void FtdiBackend::setCurrent(std::shared_ptr<FtdiApi> api)
{
    if (!api)
        api = std::make_shared<FtdiLibrary>();
    std::shared_ptr<FtdiApi> previous;
    {
        std::lock_guard<std::mutex> lock(backendMutex());
        previous = std::move(currentApi());
        currentApi() = std::move(api);
    }
    // `previous` is released here, outside the lock: its destructor may unload
    // a library or tear down a simulated bus.
}

void FtdiBackend::useFtdiLibrary()
{
    setCurrent(std::make_shared<FtdiLibrary>());
}

void FtdiBackend::useLibFtdi()
{
    setCurrent(std::make_shared<LibFtdiLibrary>());
}
