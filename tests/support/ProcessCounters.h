#pragma once

// What a process holds, for tests that check that the library gives back what
// it took: its threads, and its open descriptors (Linux) or kernel handles
// (Windows). Header-only, so that the tests of the public C interface, which
// link the shared library alone, can use it too.
#if defined(_WIN32)
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <vector>
#else
#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <string>
#endif
#include <thread>

namespace ProcessCounters {

#if defined(_WIN32)

inline int threadCount()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    const DWORD process = GetCurrentProcessId();
    int count = 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == process)
            ++count;
    CloseHandle(snapshot);
    return count;
}

// The system's handle table, filtered to this process (GetProcessHandleCount
// answers 0 under Wine).
inline int handleCount()
{
    struct Entry
    {
        ULONG process;
        BYTE type, flags;
        USHORT handle;
        PVOID object;
        ULONG access;
    };
    using Query = LONG(WINAPI *)(int, PVOID, ULONG, PULONG);
    FARPROC address = GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    if (!address)
        return -1;
    Query query = reinterpret_cast<Query>(reinterpret_cast<void *>(address));
    const int systemHandleInformation = 16;
    std::vector<unsigned char> buffer(1 << 16);
    for (;;) {
        ULONG needed = 0;
        const LONG status = query(systemHandleInformation, buffer.data(), ULONG(buffer.size()), &needed);
        if (status == 0)
            break;
        if (buffer.size() > (256u << 20))
            return -1;
        buffer.resize(std::max<size_t>(buffer.size() * 2, needed));
    }
    const ULONG entries = *reinterpret_cast<const ULONG *>(buffer.data());
    const auto *entry = reinterpret_cast<const Entry *>(buffer.data() + sizeof(PVOID));
    const DWORD process = GetCurrentProcessId();
    int count = 0;
    for (ULONG i = 0; i < entries; ++i)
        if (entry[i].process == process)
            ++count;
    return count;
}

#else

// Entries of a /proc directory, without "." and ".."; -1 when it cannot be read.
inline int entriesOf(const char *path)
{
    DIR *dir = opendir(path);
    if (!dir)
        return -1;
    int count = 0;
    while (dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count;
}

inline int threadCount()
{
    return entriesOf("/proc/self/task");
}

// Open descriptors, without the one that reads the directory.
inline int handleCount()
{
    const int entries = entriesOf("/proc/self/fd");
    return entries < 0 ? -1 : entries - 1;
}

#endif

// Starts a thread and returns once it has left the thread list: ThreadSanitizer
// adds a helper thread of its own when a process first starts one, which a
// test lets happen before it counts. A joined thread can stay listed a moment
// after the join (long enough to count under qemu-user, which ends its own
// thread only after it has woken the joining one).
inline void startAndEndAThread()
{
#if defined(_WIN32)
    std::thread([] {}).join();
#else
    long id = 0;
    std::thread([&id] { id = syscall(SYS_gettid); }).join();
    const std::string task = "/proc/self/task/" + std::to_string(id);
    for (int i = 0; i < 500 && access(task.c_str(), F_OK) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
#endif
}

} // namespace ProcessCounters
