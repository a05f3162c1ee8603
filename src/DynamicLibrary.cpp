#include "DynamicLibrary.h"

#include <QFile>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <dlfcn.h>
#endif

DynamicLibrary::~DynamicLibrary()
{
    unload();
}

bool DynamicLibrary::load(const QString &fileName)
{
    unload();
#if defined(_WIN32)
    m_module = reinterpret_cast<void *>(LoadLibraryW(reinterpret_cast<const wchar_t *>(fileName.utf16())));
#else
    m_module = dlopen(QFile::encodeName(fileName).constData(), RTLD_NOW | RTLD_LOCAL);
#endif
    return m_module != nullptr;
}

void DynamicLibrary::unload()
{
    if (!m_module)
        return;
#if defined(_WIN32)
    FreeLibrary(reinterpret_cast<HMODULE>(m_module));
#else
    dlclose(m_module);
#endif
    m_module = nullptr;
}

void *DynamicLibrary::symbol(const char *name) const
{
    if (!m_module)
        return nullptr;
#if defined(_WIN32)
    return reinterpret_cast<void *>(GetProcAddress(reinterpret_cast<HMODULE>(m_module), name));
#else
    return dlsym(m_module, name);
#endif
}
