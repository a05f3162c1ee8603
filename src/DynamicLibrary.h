#pragma once

#include <QString>
#include <cstring>

// A shared library loaded at run time (dlopen, LoadLibrary) and the functions
// resolved from it by name. Unloaded on destruction.
class DynamicLibrary
{
public:
    DynamicLibrary() = default;
    ~DynamicLibrary();

    DynamicLibrary(const DynamicLibrary &) = delete;
    DynamicLibrary &operator=(const DynamicLibrary &) = delete;

    // Loads the file (a bare name goes through the platform's normal library
    // search); false when it cannot be loaded. Unloads what was loaded before.
    bool load(const QString &fileName);
    void unload();
    bool isLoaded() const { return m_module != nullptr; }

    // The address of the exported symbol, or null. On ELF platforms a symbol
    // of a library this one depends on is found too.
    void *symbol(const char *name) const;

    // Stores the function named `name` in `target`; false (and null stored)
    // when it is missing.
    template <typename Function>
    bool resolve(const char *name, Function &target) const
    {
        void *address = symbol(name);
        // Function and object pointers have the same size on every platform
        // the library ships for; copying the bits is how dlsym results are used.
        static_assert(sizeof(Function) == sizeof(void *), "function pointer size");
        std::memcpy(&target, &address, sizeof target);
        return address != nullptr;
    }

private:
    void *m_module = nullptr;
};
