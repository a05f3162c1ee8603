// The library loaded and unloaded at run time, as a host that LoadLibrary's
// (dlopen's) it does, with and without closeLibrary before the unload.
// Without open instruments the unload destroys the device manager; with open
// instruments nothing crashes and no thread is left running in unloaded code:
// on Windows the library stays loaded until closeLibrary (its threads cannot
// be waited for during an unload), elsewhere the unload shuts them down.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "ProcessCounters.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using ProcessCounters::threadCount;

// The library's exports, resolved by name from one loaded copy.
struct Library
{
    void *module = nullptr;
    int (*useSimulatedBus)(const char *) = nullptr;
    int (*initialise)() = nullptr;
    int (*closeLibrary)() = nullptr;
    int (*getDeviceCount)(int *) = nullptr;
    int (*runMeasurement)(int, int, int, int) = nullptr;
    int (*openDevices)(int *) = nullptr;
    int (*isMeasurementComplete)(int, bool *) = nullptr;
    int (*getMeasurementProgress)(int, int *, int *) = nullptr;
    int (*getResultChecked)(int, int, double *, int, int *) = nullptr;
    int (*get2DResultSizes)(int, int, int *, int *) = nullptr;
    int (*waitForMeasurement)(int, int, bool *) = nullptr;

    template <typename Function>
    void resolve(Function &function, const char *name)
    {
#if defined(_WIN32)
        void *address = reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
#else
        void *address = dlsym(module, name);
#endif
        ASSERT_NE(address, nullptr) << name;
        function = reinterpret_cast<Function>(address);
    }

    void load()
    {
#if defined(_WIN32)
        module = LoadLibraryA(VELDRIN_LIBRARY_FILE);
#else
        module = dlopen(VELDRIN_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
#endif
        ASSERT_NE(module, nullptr) << VELDRIN_LIBRARY_FILE;
        resolve(useSimulatedBus, "useSimulatedBus");
        resolve(initialise, "initialise");
        resolve(closeLibrary, "closeLibrary");
        resolve(getDeviceCount, "getDeviceCount");
        resolve(runMeasurement, "runMeasurement");
        resolve(openDevices, "openDevices");
        resolve(isMeasurementComplete, "isMeasurementComplete");
        resolve(getMeasurementProgress, "getMeasurementProgress");
        resolve(getResultChecked, "getResultChecked");
        resolve(get2DResultSizes, "get2DResultSizes");
        resolve(waitForMeasurement, "waitForMeasurement");
    }

    void unload()
    {
#if defined(_WIN32)
        FreeLibrary(static_cast<HMODULE>(module));
#else
        dlclose(module);
#endif
        module = nullptr;
    }
};

bool isLoaded()
{
#if defined(_WIN32)
    return GetModuleHandleA(VELDRIN_LIBRARY_FILE) != nullptr;
#else
    void *module = dlopen(VELDRIN_LIBRARY_FILE, RTLD_NOW | RTLD_NOLOAD);
    if (module)
        dlclose(module);
    return module != nullptr;
#endif
}

bool threadsSettleAt(int threads)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (threadCount() != threads) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(Unload, WithoutOpenInstrumentsTheManagerGoesWithTheLibrary)
{
    ASSERT_FALSE(isLoaded());
    Library library;
    ASSERT_NO_FATAL_FAILURE(library.load());
    ASSERT_EQ(library.useSimulatedBus("gen1; gen2"), 0);
    ASSERT_EQ(library.initialise(), 0);
    int count = -1;
    ASSERT_EQ(library.getDeviceCount(&count), 0);
    EXPECT_EQ(count, 2);
    library.unload();
#if defined(_WIN32)
    EXPECT_FALSE(isLoaded());
    // Loaded afresh, it starts uninitialised.
    ASSERT_NO_FATAL_FAILURE(library.load());
    EXPECT_EQ(library.getDeviceCount(&count), 5);
    library.unload();
    EXPECT_FALSE(isLoaded());
#endif
}

TEST(Unload, WithInstrumentsOpenNothingCrashesAndNoThreadIsLost)
{
    Library library;
    ASSERT_NO_FATAL_FAILURE(library.load());
    ASSERT_EQ(library.useSimulatedBus("gen1; gen2"), 0);
    // A first round lets Qt start what it keeps for the process (on Windows a
    // thread that watches the threads it adopts) before the count.
    ASSERT_EQ(library.initialise(), 0);
    ASSERT_EQ(library.runMeasurement(1, 3, 6, 100), 0);
    ASSERT_EQ(library.closeLibrary(), 0);
    const int threads = threadCount();
    ASSERT_GT(threads, 0);
    ASSERT_EQ(library.initialise(), 0);
    // Both instruments open, one of them measuring for seconds.
    ASSERT_EQ(library.runMeasurement(1, 3, 6, 200), 0);
    ASSERT_EQ(library.runMeasurement(2, 3, 6, 20000), 0);
    ASSERT_GT(threadCount(), threads);
    library.unload();
    // The instruments' threads go on (or end) meanwhile, in code still there.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
#if defined(_WIN32)
    ASSERT_TRUE(isLoaded());
    EXPECT_GT(threadCount(), threads);
    // The host loads it again: the same library, still initialised, whose
    // closeLibrary ends the threads and lets the last unload go through.
    ASSERT_NO_FATAL_FAILURE(library.load());
    int count = -1;
    ASSERT_EQ(library.getDeviceCount(&count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(library.closeLibrary(), 0);
    EXPECT_TRUE(threadsSettleAt(threads)) << threadCount() << " threads, " << threads << " before";
    library.unload();
    EXPECT_FALSE(isLoaded());
#else
    EXPECT_TRUE(threadsSettleAt(threads)) << threadCount() << " threads, " << threads << " before";
#endif
}

// Every export that can be the first to open an instrument holds the library
// as runMeasurement does: unloaded without closeLibrary, it stays loaded on
// Windows; elsewhere the unload shuts the instruments down.
TEST(Unload, EveryOpeningRouteHoldsTheLibrary)
{
    int n = 0, m = 0;
    bool flag = false;
    const struct
    {
        const char *name;
        int (*open)(Library &, int &, int &, bool &);
    } routes[] = {
        {"openDevices", [](Library &l, int &n, int &, bool &) { return l.openDevices(&n); }},
        {"isMeasurementComplete", [](Library &l, int &, int &, bool &b) { return l.isMeasurementComplete(1, &b); }},
        {"getMeasurementProgress", [](Library &l, int &n, int &m, bool &) { return l.getMeasurementProgress(1, &n, &m); }},
        {"getResultChecked", [](Library &l, int &n, int &, bool &) { return l.getResultChecked(1, 1, nullptr, 0, &n); }},
        {"get2DResultSizes", [](Library &l, int &n, int &m, bool &) { return l.get2DResultSizes(1, 1, &n, &m); }},
        {"waitForMeasurement", [](Library &l, int &, int &, bool &b) { return l.waitForMeasurement(1, 0, &b); }},
    };
    Library library;
    ASSERT_NO_FATAL_FAILURE(library.load());
    ASSERT_EQ(library.useSimulatedBus("gen2 pace=fast"), 0);
    ASSERT_EQ(library.initialise(), 0);
    ASSERT_EQ(library.runMeasurement(1, 3, 6, 10), 0);
    ASSERT_EQ(library.closeLibrary(), 0);
    library.unload();
    const int threads = threadCount();
    for (const auto &route : routes) {
        SCOPED_TRACE(route.name);
        ASSERT_NO_FATAL_FAILURE(library.load());
        ASSERT_EQ(library.useSimulatedBus("gen2 pace=fast"), 0);
        ASSERT_EQ(library.initialise(), 0);
        ASSERT_EQ(route.open(library, n, m, flag), 0);
        library.unload();
#if defined(_WIN32)
        ASSERT_TRUE(isLoaded());
        ASSERT_NO_FATAL_FAILURE(library.load());
        EXPECT_EQ(library.closeLibrary(), 0);
        library.unload();
        EXPECT_FALSE(isLoaded());
#endif
        EXPECT_TRUE(threadsSettleAt(threads)) << threadCount() << " threads, " << threads << " before";
    }
}

} // namespace
