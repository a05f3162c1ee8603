// `veldrin doctor` on Windows: whether FTDI's D2XX library (FTD2XX.dll) loads
// from the DLL search path as VeldrinLib loads it, with every function the
// library calls, its version, and the devices it lists.
#include "Doctor.h"
#include "DoctorD2xx.h"
#include "DoctorReport.h"

#if defined(_WIN32)

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const char *const doctorUsage =
    "usage: veldrin doctor [--d2xx-library FILE]\n"
    "\n"
    "Checks this machine's setup for instruments on FTDI chips, through FTDI's D2XX\n"
    "library, and prints what fixes each problem. Changes nothing.\n"
    "  --d2xx-library FILE  D2XX library to try (default FTD2XX.dll from the DLL\n"
    "                       search path, as the library loads it)\n"
    "Exit status: 0 nothing in the way, 1 problems found, 2 usage error.\n";

// D2XX's functions use the callee-pops convention on 32-bit Windows.
using VersionFunction = std::uint32_t(__stdcall *)(std::uint32_t *);
using CreateListFunction = std::uint32_t(__stdcall *)(std::uint32_t *);
using GetListFunction = std::uint32_t(__stdcall *)(D2xxNode *, std::uint32_t *);

template <typename Function>
Function resolve(HMODULE module, const char *name)
{
    FARPROC address = GetProcAddress(module, name);
    Function function = nullptr;
    static_assert(sizeof function == sizeof address, "function pointers differ in size");
    std::memcpy(&function, &address, sizeof function);
    return function;
}

std::string hex4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xffff);
    return text;
}

std::string systemMessage(DWORD error)
{
    char *buffer = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                            | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<char *>(&buffer), 0, nullptr);
    std::string text = "error " + std::to_string(error);
    if (length && buffer) {
        std::string message(buffer, length);
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
            message.pop_back();
        text += ": " + message;
    }
    LocalFree(buffer);
    return text;
}

std::string moduleFile(HMODULE module)
{
    std::vector<wchar_t> name(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0)
            return std::string();
        if (length < name.size()) {
            const int bytes = WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(length), nullptr, 0,
                                                  nullptr, nullptr);
            std::string text(static_cast<size_t>(bytes), '\0');
            WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(length), &text[0], bytes, nullptr,
                                nullptr);
            return text;
        }
        name.resize(name.size() * 2);
    }
}

// Loads the library, checks its functions, reports its version and device
// list; the number of instruments (serial numbers starting with SY) it lists,
// or -1 when it is not usable.
int checkD2xx(const std::string &library, DoctorReport &report)
{
    const std::string name = library.empty() ? "FTD2XX.dll" : library;
    report.section("D2XX library (FTDI's " + name + ", loaded by VeldrinLib at run time)");
    HMODULE module = LoadLibraryA(name.c_str());
    if (!module) {
        report.problem(name + " does not load (" + systemMessage(GetLastError()) + ")",
                       {"install FTDI's D2XX driver for Windows (the CDM driver package from FTDI's",
                        "drivers page), which puts FTD2XX.dll into the system folder; or place a",
                        std::string(sizeof(void *) == 4 ? "32-bit" : "64-bit")
                            + " FTD2XX.dll beside the program that loads VeldrinLib.dll"});
        return -1;
    }
    const std::string file = moduleFile(module);
    std::string missing;
    for (const char *function : d2xxFunctions)
        if (!GetProcAddress(module, function))
            missing += (missing.empty() ? "" : ", ") + std::string(function);
    if (!missing.empty()) {
        report.problem(file + " loads but lacks " + missing
                           + ": it is not FTDI's D2XX library, or one too old for VeldrinLib",
                       {"install a current D2XX driver for Windows from FTDI"});
        FreeLibrary(module);
        return -1;
    }
    std::string version;
    if (const auto getVersion = resolve<VersionFunction>(module, "FT_GetLibraryVersion")) {
        std::uint32_t number = 0;
        if (getVersion(&number) == 0) {
            char text[32];
            std::snprintf(text, sizeof text, ", version %x.%02x.%02x", (number >> 16) & 0xff, (number >> 8) & 0xff,
                          number & 0xff);
            version = text;
        }
    }
    report.ok(name + " loads from " + file + version + ", with every function VeldrinLib calls");

    // The device list as D2XX sees it: reading it opens nothing.
    const auto createList = resolve<CreateListFunction>(module, "FT_CreateDeviceInfoList");
    const auto getList = resolve<GetListFunction>(module, "FT_GetDeviceInfoList");
    std::uint32_t count = 0;
    std::uint32_t status = createList(&count);
    int instruments = 0;
    if (status != 0) {
        report.info("D2XX could not list devices (FT_CreateDeviceInfoList status " + std::to_string(status) + ")");
    } else {
        std::vector<D2xxNode> nodes(count + 8);
        std::uint32_t listed = static_cast<std::uint32_t>(nodes.size());
        status = count ? getList(nodes.data(), &listed) : 0;
        if (status != 0 || listed > nodes.size())
            listed = 0;
        std::string line = "D2XX lists " + std::to_string(count) + (count == 1 ? " device" : " devices");
        for (std::uint32_t i = 0; i < listed; ++i) {
            const D2xxNode &node = nodes[i];
            const std::string serial(node.serialNumber, strnlen(node.serialNumber, sizeof node.serialNumber));
            if (serial.rfind("SY", 0) == 0)
                ++instruments;
            line += std::string(i == 0 ? ": " : ", ") + (serial.empty() ? "(no serial number)" : serial) + " ("
                + hex4(node.id >> 16) + ":" + hex4(node.id) + ((node.flags & 1) ? ", open" : "") + ")";
        }
        report.info(line);
    }
    FreeLibrary(module);
    return instruments;
}

} // namespace

int runDoctor(const std::vector<std::string> &arguments, std::ostream &out, std::ostream &err)
{
    std::string library;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string &option = arguments[i];
        if (option == "--help" || option == "-h") {
            out << doctorUsage;
            return 0;
        }
        if (option != "--d2xx-library" || i + 1 >= arguments.size()) {
            err << "veldrin doctor: unknown option or missing value: " << option << "\n" << doctorUsage;
            return 2;
        }
        library = arguments[++i];
    }
    DoctorReport report(out);
    out << "veldrin doctor: this machine's setup for instruments on FTDI chips (changes nothing)\n";
    const int instruments = checkD2xx(library, report);
    if (instruments == 0)
        report.problem("D2XX lists no instrument (serial number starting with SY)",
                       {"plug in the instrument; check in the Device Manager that it shows as a USB Serial",
                        "Converter with FTDI's driver"});
    out << "\n";
    if (report.problems() == 0) {
        out << "No problem found: `veldrin list` should show the instruments.\n";
        return 0;
    }
    out << report.problems() << (report.problems() == 1 ? " problem" : " problems")
        << " found; see the fixes above.\n";
    return 1;
}

// Why `veldrin list` found nothing: whether the provider's DLL loads from the
// DLL search path at all.
std::vector<std::string> explainNoInstruments(UsbProvider provider)
{
    const bool d2xx = provider == UsbProvider::D2xx;
    const char *name = d2xx ? "FTD2XX.dll" : "libftdi1.dll";
    const char *what = d2xx ? "FTDI's D2XX library " : "libftdi1 ";
    HMODULE module = LoadLibraryA(name);
    if (!module)
        return {std::string(what) + name + " was not found on the DLL search path",
                d2xx ? "install FTDI's D2XX driver, or put FTD2XX.dll beside the program"
                     : "libftdi1 is optional on Windows: use FTDI's D2XX driver (veldrin list)"};
    FreeLibrary(module);
    return {std::string(what) + name + " loaded, but it lists no instrument (serial number starting with SY)",
            "see `veldrin doctor`"};
}

// Chips that are not instruments are counted by the Linux doctor from sysfs;
// Windows has no such view without opening them.
int otherFtdiChips()
{
    return 0;
}

#endif
