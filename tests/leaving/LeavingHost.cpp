// A host that leaves without closeLibrary: it loads the library by name,
// opens the instruments with openDevices (idle) or also starts a long
// measurement (streaming), optionally unloads the library (free), and returns
// from main. The process must end, and soon. On Windows an unload while
// instruments are open must leave the library loaded: its exit hook could not
// wait for their threads under the loader lock.
// Usage: LeavingHost idle|streaming free|keep
#include <chrono>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

void *loadLibrary()
{
#if defined(_WIN32)
    return reinterpret_cast<void *>(LoadLibraryA(VELDRIN_LIBRARY_FILE));
#else
    return dlopen(VELDRIN_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
#endif
}

void *symbol(void *module, const char *name)
{
#if defined(_WIN32)
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
#else
    return dlsym(module, name);
#endif
}

void unload(void *module)
{
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(module));
#else
    dlclose(module);
#endif
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: LeavingHost idle|streaming free|keep\n");
        return 2;
    }
    const bool streaming = std::strcmp(argv[1], "streaming") == 0;
    const bool freeLibrary = std::strcmp(argv[2], "free") == 0;
    const auto started = std::chrono::steady_clock::now();

    void *module = loadLibrary();
    if (!module) {
        std::fprintf(stderr, "cannot load %s\n", VELDRIN_LIBRARY_FILE);
        return 1;
    }
    auto useSimulatedBus = reinterpret_cast<int (*)(const char *)>(symbol(module, "useSimulatedBus"));
    auto initialise = reinterpret_cast<int (*)()>(symbol(module, "initialise"));
    auto openDevices = reinterpret_cast<int (*)(int *)>(symbol(module, "openDevices"));
    auto runMeasurement = reinterpret_cast<int (*)(int, int, int, int)>(symbol(module, "runMeasurement"));
    if (!useSimulatedBus || !initialise || !openDevices || !runMeasurement) {
        std::fprintf(stderr, "missing export\n");
        return 1;
    }
    int opened = 0;
    if (useSimulatedBus("gen1; gen2") != 0 || initialise() != 0 || openDevices(&opened) != 0 || opened != 2) {
        std::fprintf(stderr, "opening failed (%d open)\n", opened);
        return 1;
    }
    if (streaming && runMeasurement(2, 3, 6, 20000) != 0) {
        std::fprintf(stderr, "runMeasurement failed\n");
        return 1;
    }
    if (freeLibrary) {
        unload(module);
#if defined(_WIN32)
        if (!GetModuleHandleA(VELDRIN_LIBRARY_FILE)) {
            std::fprintf(stderr, "the library was unloaded with its instruments open\n");
            return 1;
        }
#endif
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    std::printf("%s, %s: leaving after %lld ms\n", argv[1], argv[2], static_cast<long long>(ms.count()));
    std::fflush(stdout);
    return 0;
}
