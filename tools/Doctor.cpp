#include "Doctor.h"
#include "DoctorD2xx.h"
#include "DoctorReport.h"

#if defined(__linux__)

#include <dirent.h>
#include <dlfcn.h>
#include <grp.h>
#include <link.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace {

const char *const doctorUsage =
    "usage: veldrin [--ftdi | --libftdi] doctor [--sysfs DIR] [--dev DIR] [--d2xx-library FILE]\n"
    "                                         [--user WHO]\n"
    "\n"
    "Checks this machine's setup for instruments on FTDI chips, through FTDI's D2XX\n"
    "library (default) or libftdi1 (--libftdi), and prints the command that fixes\n"
    "each problem. Changes nothing.\n"
    "  --sysfs DIR          sysfs root to read (default $VELDRIN_SYSFS_ROOT or /sys)\n"
    "  --dev DIR            device root to read (default $VELDRIN_DEV_ROOT or /dev)\n"
    "  --d2xx-library FILE  D2XX library to try (default libftd2xx.so, as the\n"
    "                       library loads it)\n"
    "  --user WHO           whose access to the device nodes to check: a user name,\n"
    "                       a uid, or UID:GID[,GID...] (default: the user running\n"
    "                       this, or $SUDO_USER under sudo)\n"
    "Exit status: 0 nothing in the way, 1 problems found, 2 usage error.\n";

const unsigned ftdiVendor = 0x0403;
const char *const unbindPath = "/sys/bus/usb/drivers/ftdi_sio/unbind";
const char *const udevRuleName = "70-veldrin-ftdi.rules";
const char *const udevRule =
    "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"0403\", "
    "ATTR{idProduct}==\"6001|6014|6015\", GROUP=\"plugdev\", MODE=\"0660\", TAG+=\"uaccess\"";
const char *const udevTrigger =
    "sudo udevadm control --reload-rules && sudo udevadm trigger --action=change "
    "--subsystem-match=usb --attr-match=idVendor=0403";

std::string chipTypeName(unsigned product)
{
    switch (product) {
    case 0x6001: return "FT232R/FT245R";
    case 0x6010: return "FT2232";
    case 0x6011: return "FT4232H";
    case 0x6014: return "FT232H";
    case 0x6015: return "FT-X series";
    default: return "FTDI chip";
    }
}

bool isInstrumentChipType(unsigned product)
{
    return product == 0x6001 || product == 0x6014 || product == 0x6015;
}

std::string hex4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xffffu);
    return text;
}

std::string trimmed(const std::string &text)
{
    const auto begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

bool exists(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// The first line of a sysfs attribute, or an empty text.
std::string readAttribute(const std::string &path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return trimmed(line);
}

std::vector<std::string> listDirectory(const std::string &path)
{
    std::vector<std::string> names;
    if (DIR *dir = ::opendir(path.c_str())) {
        while (const dirent *entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string linkTargetName(const std::string &path)
{
    char target[PATH_MAX];
    const ssize_t length = ::readlink(path.c_str(), target, sizeof target - 1);
    if (length <= 0)
        return {};
    const std::string text(target, static_cast<size_t>(length));
    const auto slash = text.find_last_of('/');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

// Whom the device-node check is for.
struct Identity
{
    std::string name;           // user name, or "uid N" without a passwd entry
    uid_t uid = 0;
    std::vector<gid_t> groups;  // primary and supplementary
    bool thisProcess = false;   // then access() is asked too (it sees ACLs and more)
};

bool inGroup(const Identity &who, gid_t gid)
{
    return std::find(who.groups.begin(), who.groups.end(), gid) != who.groups.end();
}

std::string userName(uid_t uid)
{
    if (const passwd *entry = ::getpwuid(uid))
        return entry->pw_name;
    return "uid " + std::to_string(uid);
}

std::string groupName(gid_t gid)
{
    if (const group *entry = ::getgrgid(gid))
        return entry->gr_name;
    return std::to_string(gid);
}

bool identityOfUser(const passwd &entry, Identity &who)
{
    who.name = entry.pw_name;
    who.uid = entry.pw_uid;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (::getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (::getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0)
            return false;
    }
    groups.resize(static_cast<size_t>(count));
    who.groups = groups;
    return true;
}

bool parseNumber(const std::string &text, unsigned long &value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    value = std::strtoul(text.c_str(), nullptr, 10);
    return errno == 0 && value <= 0xfffffffeul;
}

// WHO: a user name, a uid, or UID:GID[,GID...] (numbers only, no lookup).
bool parseIdentity(const std::string &text, Identity &who)
{
    const auto colon = text.find(':');
    unsigned long number = 0;
    if (colon != std::string::npos) {
        if (!parseNumber(text.substr(0, colon), number))
            return false;
        who.uid = static_cast<uid_t>(number);
        who.name = userName(who.uid);
        std::stringstream list(text.substr(colon + 1));
        std::string item;
        while (std::getline(list, item, ',')) {
            if (!parseNumber(item, number))
                return false;
            who.groups.push_back(static_cast<gid_t>(number));
        }
        return !who.groups.empty();
    }
    const passwd *entry = parseNumber(text, number) ? ::getpwuid(static_cast<uid_t>(number))
                                                    : ::getpwnam(text.c_str());
    if (entry)
        return identityOfUser(*entry, who);
    if (!parseNumber(text, number))
        return false;
    who.uid = static_cast<uid_t>(number);
    who.name = "uid " + text;
    return true;
}

Identity processIdentity()
{
    Identity who;
    who.uid = ::geteuid();
    who.name = userName(who.uid);
    who.thisProcess = true;
    who.groups.push_back(::getegid());
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
        std::vector<gid_t> groups(static_cast<size_t>(count));
        const int got = ::getgroups(count, groups.data());
        if (got > 0)
            who.groups.insert(who.groups.end(), groups.begin(), groups.begin() + got);
    }
    return who;
}

// Read and write permission of WHO on a file, from its owner, group, mode bits
// and POSIX access list, as the kernel decides it. Root may do anything.
bool mayReadWrite(const std::string &path, const struct stat &st, const Identity &who)
{
    const unsigned want = 6; // read 4, write 2
    if (who.uid == 0)
        return true;
    unsigned char buffer[1024];
    const ssize_t size = ::getxattr(path.c_str(), "system.posix_acl_access", buffer, sizeof buffer);
    if (size < 4 || (size - 4) % 8 != 0) {
        unsigned bits = st.st_mode & 7;
        if (who.uid == st.st_uid)
            bits = (st.st_mode >> 6) & 7;
        else if (inGroup(who, st.st_gid))
            bits = (st.st_mode >> 3) & 7;
        return (bits & want) == want;
    }
    // Access list: a 32-bit version, then entries of tag (16 bits), permission
    // (16 bits) and id (32 bits), little-endian.
    struct Entry { unsigned tag, perm; std::uint32_t id; };
    std::vector<Entry> entries;
    for (ssize_t at = 4; at + 8 <= size; at += 8) {
        const unsigned char *e = buffer + at;
        entries.push_back({unsigned(e[0] | e[1] << 8), unsigned(e[2] | e[3] << 8),
                           std::uint32_t(e[4]) | std::uint32_t(e[5]) << 8 | std::uint32_t(e[6]) << 16
                               | std::uint32_t(e[7]) << 24});
    }
    enum { UserObj = 1, User = 2, GroupObj = 4, Group = 8, Mask = 0x10, Other = 0x20 };
    unsigned mask = 7;
    for (const Entry &e : entries)
        if (e.tag == Mask)
            mask = e.perm;
    if (who.uid == st.st_uid)
        return (((st.st_mode >> 6) & 7) & want) == want;
    for (const Entry &e : entries)
        if (e.tag == User && e.id == who.uid)
            return (e.perm & mask & want) == want;
    bool groupMatched = false;
    for (const Entry &e : entries) {
        const bool member = (e.tag == GroupObj && inGroup(who, st.st_gid))
            || (e.tag == Group && inGroup(who, static_cast<gid_t>(e.id)));
        if (!member)
            continue;
        groupMatched = true;
        if ((e.perm & mask & want) == want)
            return true;
    }
    if (groupMatched)
        return false;
    for (const Entry &e : entries)
        if (e.tag == Other)
            return (e.perm & want) == want;
    return false;
}

struct Settings
{
    std::string sysfs = "/sys";
    std::string dev = "/dev";
    std::string d2xxLibrary;
    Identity who;
    UsbProvider provider = UsbProvider::D2xx;
};

std::string loadedFile(void *module, const std::string &fallback)
{
    link_map *map = nullptr;
    std::string name = fallback;
    if (::dlinfo(module, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name)
        name = map->l_name;
    if (char *real = ::realpath(name.c_str(), nullptr)) {
        name = real;
        std::free(real);
    }
    return name;
}

// Directories the dynamic linker searches for libftd2xx.so, to find copies
// that do not load only because the unversioned name is missing.
std::vector<std::string> librarySearchDirectories()
{
    std::vector<std::string> dirs;
    if (const char *paths = std::getenv("LD_LIBRARY_PATH")) {
        std::stringstream list(paths);
        std::string dir;
        while (std::getline(list, dir, ':'))
            if (!dir.empty())
                dirs.push_back(dir);
    }
    Dl_info info;
    if (::dladdr(reinterpret_cast<void *>(&::getpid), &info) && info.dli_fname) {
        std::string libc = info.dli_fname;
        libc = libc.substr(0, libc.find_last_of('/'));
        if (!libc.empty()) {
            dirs.push_back(libc);
            if (libc.rfind("/usr/", 0) != 0)
                dirs.push_back("/usr" + libc);
        }
    }
    for (const char *dir : {"/usr/local/lib", "/usr/local/lib64", "/usr/lib", "/usr/lib64", "/lib"})
        dirs.push_back(dir);
    return dirs;
}

// FTDI publishes D2XX for Linux as one archive per processor; the one that
// fits this program's. On ARM boards libftdi1 (a distribution package) is the
// usual route.
constexpr const char *d2xxBuild =
#if defined(__aarch64__)
    "its ARMv8 (64-bit ARM) build";
#elif defined(__arm__) && defined(__ARM_PCS_VFP)
    "its ARMv7 hard-float build (ARMv6 hard-float on a Raspberry Pi 1 or Zero)";
#elif defined(__arm__)
    "its ARM soft-float build";
#elif defined(__x86_64__)
    "its x86_64 build";
#elif defined(__i386__)
    "its i386 build";
#else
    "its build for this processor";
#endif
#if defined(__arm__) || defined(__aarch64__)
constexpr bool armBoard = true;
#else
constexpr bool armBoard = false;
#endif

void checkD2xx(const Settings &settings, DoctorReport &report)
{
    const bool standardName = settings.d2xxLibrary.empty();
    const std::string name = standardName ? "libftd2xx.so" : settings.d2xxLibrary;
    const bool required = settings.provider == UsbProvider::D2xx;
    report.section("D2XX library (FTDI's " + name + ", loaded by VeldrinLib at run time"
                   + (required ? ")" : "; not in use: --libftdi)"));
    ::dlerror();
    void *module = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        const char *error = ::dlerror();
        const std::string why = error ? error : "not found";
        std::vector<std::string> copies;
        if (standardName)
            for (const std::string &dir : librarySearchDirectories())
                for (const std::string &file : listDirectory(dir))
                    if (file.rfind("libftd2xx.so.", 0) == 0)
                        copies.push_back(dir + "/" + file);
        if (!copies.empty()) {
            const std::string &copy = copies.front();
            const std::string dir = copy.substr(0, copy.find_last_of('/'));
            report.problemIf(required, name + " does not load (" + why + "), but " + copy
                               + " is there: the unversioned name the library loads is missing",
                           {"sudo ln -sf " + copy.substr(dir.size() + 1) + " " + dir + "/libftd2xx.so && sudo ldconfig"});
        } else {
            std::vector<std::string> fixes = {
                std::string("install FTDI's D2XX library for Linux, ") + d2xxBuild + " (libftd2xx, from FTDI's",
                "D2XX drivers page; see " + documentationFolder() + "/hardware-linux.md), e.g. for 1.4.24:",
                "sudo install -m 0755 libftd2xx.so.1.4.24 /usr/local/lib/",
                "sudo ln -sf libftd2xx.so.1.4.24 /usr/local/lib/libftd2xx.so && sudo ldconfig"};
            if (armBoard)
                fixes.insert(fixes.begin(), "on an ARM board the usual route is libftdi1 instead"
                                            " (sudo apt install libftdi1-2; veldrin --libftdi), or:");
            report.problemIf(required, name + " does not load: " + why, fixes);
        }
        return;
    }
    const std::string file = loadedFile(module, name);
    std::vector<std::string> missing;
    for (const char *function : d2xxFunctions)
        if (!::dlsym(module, function))
            missing.push_back(function);
    if (!missing.empty()) {
        std::string list;
        for (const std::string &function : missing)
            list += (list.empty() ? "" : ", ") + function;
        report.problemIf(required, file + " loads but lacks " + list
                           + ": it is not FTDI's D2XX library, or one too old for VeldrinLib",
                       {"install a current D2XX library for Linux from FTDI (see hardware-linux.md)"});
        ::dlclose(module);
        return;
    }
    std::string version;
    using VersionFunction = std::uint32_t (*)(std::uint32_t *);
    if (void *symbol = ::dlsym(module, "FT_GetLibraryVersion")) {
        std::uint32_t number = 0;
        VersionFunction getVersion;
        std::memcpy(&getVersion, &symbol, sizeof getVersion);
        if (getVersion(&number) == 0) {
            char text[32];
            std::snprintf(text, sizeof text, ", version %x.%x.%x", (number >> 16) & 0xff,
                          (number >> 8) & 0xff, number & 0xff);
            version = text;
        }
    }
    report.ok(name + " loads from " + file + version + ", with every function VeldrinLib calls");

    // The device list as D2XX sees it: reading it opens nothing.
    using CreateList = std::uint32_t (*)(std::uint32_t *);
    using GetList = std::uint32_t (*)(D2xxNode *, std::uint32_t *);
    CreateList createList;
    GetList getList;
    void *createSymbol = ::dlsym(module, "FT_CreateDeviceInfoList");
    void *getSymbol = ::dlsym(module, "FT_GetDeviceInfoList");
    std::memcpy(&createList, &createSymbol, sizeof createList);
    std::memcpy(&getList, &getSymbol, sizeof getList);
    std::uint32_t count = 0;
    std::uint32_t status = createList(&count);
    if (status != 0) {
        report.info("D2XX could not list devices (FT_CreateDeviceInfoList status " + std::to_string(status) + ")");
    } else {
        std::vector<D2xxNode> nodes(std::max<std::uint32_t>(count, 1) + 8);
        std::uint32_t listed = static_cast<std::uint32_t>(nodes.size());
        status = count ? getList(nodes.data(), &listed) : 0;
        if (status != 0 || listed > nodes.size())
            listed = 0;
        std::string line = "D2XX lists " + std::to_string(count) + (count == 1 ? " device" : " devices");
        for (std::uint32_t i = 0; i < listed; ++i) {
            const D2xxNode &node = nodes[i];
            const std::string serial(node.serialNumber, strnlen(node.serialNumber, sizeof node.serialNumber));
            line += std::string(i == 0 ? ": " : ", ") + (serial.empty() ? "(no serial number)" : serial) + " ("
                + hex4(node.id >> 16) + ":" + hex4(node.id) + ((node.flags & 1) ? ", open" : "") + ")";
        }
        report.info(line);
    }
    ::dlclose(module);
}

void checkLibFtdi(const Settings &settings, DoctorReport &report)
{
    const bool required = settings.provider == UsbProvider::LibFtdi;
    report.section(std::string("libftdi1 (libftdi1.so.2, loaded by VeldrinLib at run time with --libftdi")
                   + (required ? ")" : "; not in use)"));
    ::dlerror();
    void *module = ::dlopen("libftdi1.so.2", RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        const char *error = ::dlerror();
        report.problemIf(required, std::string("libftdi1.so.2 does not load: ") + (error ? error : "not found"),
                         {"sudo apt install libftdi1-2   (Fedora: libftdi, macOS: brew install libftdi)"});
        return;
    }
    report.ok("libftdi1.so.2 loads from " + loadedFile(module, "libftdi1.so.2")
              + (required ? "; it detaches ftdi_sio from the chip it opens" : ""));
    ::dlclose(module);
}

struct Interface
{
    std::string name;
    std::string driver;
    std::string tty;
};

struct Chip
{
    std::string name; // sysfs device name, e.g. 1-1.2
    std::string path;
    unsigned vendor = 0;
    unsigned product = 0;
    std::string productText;
    std::string serial;
    int bus = 0;
    int device = 0;
    std::vector<Interface> interfaces;
};

std::vector<Chip> ftdiChips(const std::string &devicesDir)
{
    std::vector<Chip> chips;
    for (const std::string &name : listDirectory(devicesDir)) {
        if (name.find(':') != std::string::npos)
            continue; // an interface, listed under its device
        Chip chip;
        chip.name = name;
        chip.path = devicesDir + "/" + name;
        chip.vendor = static_cast<unsigned>(std::strtoul(readAttribute(chip.path + "/idVendor").c_str(), nullptr, 16));
        if (chip.vendor != ftdiVendor)
            continue;
        chip.product = static_cast<unsigned>(std::strtoul(readAttribute(chip.path + "/idProduct").c_str(), nullptr, 16));
        chip.productText = readAttribute(chip.path + "/product");
        chip.serial = readAttribute(chip.path + "/serial");
        chip.bus = std::atoi(readAttribute(chip.path + "/busnum").c_str());
        chip.device = std::atoi(readAttribute(chip.path + "/devnum").c_str());
        for (const std::string &entry : listDirectory(chip.path)) {
            if (entry.rfind(name + ":", 0) != 0)
                continue;
            Interface interface;
            interface.name = entry;
            interface.driver = linkTargetName(chip.path + "/" + entry + "/driver");
            for (const std::string &child : listDirectory(chip.path + "/" + entry))
                if (child.rfind("tty", 0) == 0)
                    interface.tty = child;
            chip.interfaces.push_back(interface);
        }
        chips.push_back(chip);
    }
    return chips;
}

struct FtdiSio
{
    bool loaded = false;
    bool builtIn = false;
    std::vector<std::string> boundInterfaces;
};

FtdiSio checkFtdiSio(const Settings &settings, DoctorReport &report)
{
    FtdiSio sio;
    const std::string module = settings.sysfs + "/module/ftdi_sio";
    const std::string driver = settings.sysfs + "/bus/usb/drivers/ftdi_sio";
    sio.loaded = exists(module) || exists(driver);
    sio.builtIn = sio.loaded && !exists(module + "/initstate");
    for (const std::string &entry : listDirectory(driver))
        if (entry.find(':') != std::string::npos)
            sio.boundInterfaces.push_back(entry);
    report.section("Kernel driver ftdi_sio (serial ports /dev/ttyUSB*; D2XX cannot open a chip it holds)");
    if (!sio.loaded) {
        report.ok("ftdi_sio is not loaded");
    } else {
        std::string line = std::string("ftdi_sio is ") + (sio.builtIn ? "built into the kernel" : "loaded as a module");
        if (sio.boundInterfaces.empty()) {
            line += ", bound to no chip";
        } else {
            line += ", bound to";
            for (const std::string &interface : sio.boundInterfaces)
                line += " " + interface;
        }
        report.info(line);
    }
    return sio;
}

// The fix for a device node that WHO cannot open.
std::vector<std::string> accessFixes(const struct stat &st, const Identity &who)
{
    const group *plugdev = ::getgrnam("plugdev");
    const std::string user = who.name.rfind("uid ", 0) == 0 ? "USER" : who.name;
    std::vector<std::string> fixes;
    if (!plugdev)
        fixes.push_back("sudo groupadd --system plugdev");
    if (!plugdev || st.st_gid != plugdev->gr_gid) {
        fixes.push_back("the udev rule has not given this node to plugdev: install it (the Debian");
        fixes.push_back("package does) and apply it to the plugged-in chips:");
        fixes.push_back(std::string("echo '") + udevRule + "' | sudo tee /etc/udev/rules.d/" + udevRuleName);
        fixes.push_back(udevTrigger);
    }
    if (!plugdev || !inGroup(who, plugdev->gr_gid)) {
        fixes.push_back("sudo usermod -aG plugdev " + user);
        fixes.push_back("then log out and in again (groups are read at login)");
    }
    if (fixes.empty())
        fixes.push_back("ls -l the node and compare with the rule in " + std::string(udevRuleName));
    return fixes;
}

void checkChips(const Settings &settings, const FtdiSio &sio, DoctorReport &report)
{
    const std::string devicesDir = settings.sysfs + "/bus/usb/devices";
    report.section("FTDI chips on the USB bus (" + devicesDir + ")");
    if (!exists(devicesDir)) {
        report.problem("no USB devices in sysfs at " + devicesDir,
                       {"run on the machine the instruments are plugged into (a container needs",
                        "/sys and /dev/bus/usb from the host)"});
        return;
    }
    const std::vector<Chip> chips = ftdiChips(devicesDir);
    if (chips.empty()) {
        report.problem("no FTDI chip (USB vendor 0403) is plugged in",
                       {"plug in the instrument, then check that the kernel sees it:",
                        "lsusb -d 0403:   and   sudo dmesg | tail"});
        return;
    }
    int instruments = 0;
    for (const Chip &chip : chips) {
        std::string line = chip.name + ": " + hex4(chip.vendor) + ":" + hex4(chip.product) + " "
            + chipTypeName(chip.product);
        if (!chip.productText.empty())
            line += " \"" + chip.productText + "\"";
        line += ", serial number " + (chip.serial.empty() ? std::string("(none)") : chip.serial);
        char node[32];
        std::snprintf(node, sizeof node, "%03d/%03d", chip.bus, chip.device);
        line += ", bus/device " + std::string(node);
        for (const Interface &interface : chip.interfaces)
            line += "; interface " + interface.name + ": "
                + (interface.driver.empty() ? std::string("no driver") : "driver " + interface.driver)
                + (interface.tty.empty() ? "" : " (" + interface.tty + ")");
        report.info(line);

        if (chip.serial.rfind("SY", 0) != 0) {
            report.info("  not an instrument (its serial number does not start with SY): VeldrinLib leaves it alone");
            continue;
        }
        ++instruments;
        if (!isInstrumentChipType(chip.product))
            report.info("  product " + hex4(chip.product) + " is not a chip type the instruments use (6001, 6014, 6015)");

        std::vector<std::string> unbind;
        for (const Interface &interface : chip.interfaces)
            if (interface.driver == "ftdi_sio")
                unbind.push_back("echo -n " + interface.name + " | sudo tee " + unbindPath);
        if (!unbind.empty()) {
            unbind.push_back("(lasts until the chip is plugged in again; hardware-linux.md shows a rule");
            unbind.push_back("that makes it last)");
            if (!sio.builtIn)
                unbind.push_back("or, for every FTDI chip until the next boot: sudo rmmod ftdi_sio");
            if (settings.provider == UsbProvider::LibFtdi)
                report.info(chip.serial + " is held by ftdi_sio; libftdi1 detaches it when it opens the chip");
            else
                report.problem(chip.serial + " is held by ftdi_sio: D2XX cannot open it", unbind);
        } else {
            report.ok(chip.serial + " is free for D2XX and libftdi1 (no kernel driver holds it)");
        }

        const std::string nodePath = settings.dev + "/bus/usb/" + node;
        struct stat st;
        if (::stat(nodePath.c_str(), &st) != 0) {
            report.problem(nodePath + " does not exist",
                           {"udev makes the USB device nodes: check that it runs (systemctl status",
                            "systemd-udevd) and that /dev/bus/usb is there"});
            continue;
        }
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        const std::string owner = nodePath + " (" + userName(st.st_uid) + ":" + groupName(st.st_gid) + " " + mode + ")";
        bool allowed = mayReadWrite(nodePath, st, settings.who);
        // For the user running this, the kernel's own answer counts: it knows
        // of access lists and security modules that the mode bits do not show.
        if (settings.who.thisProcess && settings.who.uid != 0)
            allowed = ::access(nodePath.c_str(), R_OK | W_OK) == 0;
        if (allowed)
            report.ok(settings.who.name + " can open " + owner + " for reading and writing");
        else
            report.problem(settings.who.name + " cannot open " + owner + " for reading and writing",
                           accessFixes(st, settings.who));
    }
    if (instruments == 0)
        report.problem("none of the FTDI chips is an instrument (serial number starting with SY)",
                       {"plug in the instrument; a chip with another serial number is not one"});
}

} // namespace

int runDoctor(const std::vector<std::string> &arguments, std::ostream &out, std::ostream &err)
{
    Settings settings;
    if (const char *root = std::getenv("VELDRIN_SYSFS_ROOT"))
        settings.sysfs = root;
    if (const char *root = std::getenv("VELDRIN_DEV_ROOT"))
        settings.dev = root;
    std::string user;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string &option = arguments[i];
        if (option == "--help" || option == "-h") {
            out << doctorUsage;
            return 0;
        }
        if (option == "--libftdi" || option == "--ftdi") {
            settings.provider = option == "--libftdi" ? UsbProvider::LibFtdi : UsbProvider::D2xx;
            continue;
        }
        if (i + 1 >= arguments.size()
            || (option != "--sysfs" && option != "--dev" && option != "--d2xx-library" && option != "--user")) {
            err << "veldrin doctor: unknown option or missing value: " << option << "\n" << doctorUsage;
            return 2;
        }
        const std::string &value = arguments[++i];
        if (option == "--sysfs")
            settings.sysfs = value;
        else if (option == "--dev")
            settings.dev = value;
        else if (option == "--d2xx-library")
            settings.d2xxLibrary = value;
        else
            user = value;
    }
    const char *sudoUser = std::getenv("SUDO_USER");
    if (user.empty() && ::geteuid() == 0 && sudoUser && *sudoUser)
        user = sudoUser;
    if (user.empty()) {
        settings.who = processIdentity();
    } else if (!parseIdentity(user, settings.who)) {
        err << "veldrin doctor: no such user: " << user << "\n";
        return 2;
    }

    DoctorReport report(out);
    out << "veldrin doctor: this machine's setup for instruments on FTDI chips (reads " << settings.sysfs
        << " and " << settings.dev << ", changes nothing)\n";
    if (settings.who.uid == 0)
        out << "Checking device access for root, who may open anything: give --user NAME to check a user.\n";
    checkD2xx(settings, report);
    checkLibFtdi(settings, report);
    const FtdiSio sio = checkFtdiSio(settings, report);
    checkChips(settings, sio, report);
    out << "\n";
    const std::string list = settings.provider == UsbProvider::LibFtdi ? "veldrin --libftdi list" : "veldrin list";
    if (report.problems() == 0) {
        out << "No problem found: `" << list << "` should show the instruments.\n";
        return 0;
    }
    out << report.problems() << (report.problems() == 1 ? " problem" : " problems")
        << " found; see the fixes above and " << documentationFolder() << "/hardware-linux.md.\n";
    return 1;
}

std::vector<std::string> explainNoInstruments(UsbProvider provider)
{
    std::vector<std::string> lines;
    const bool d2xx = provider == UsbProvider::D2xx;
    const std::string name = d2xx ? "libftd2xx.so" : "libftdi1.so.2";
    const std::string what = d2xx ? "FTDI's D2XX library " : "libftdi1 ";
    ::dlerror();
    void *module = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        const char *error = ::dlerror();
        std::string places = "LD_LIBRARY_PATH, the ld.so cache";
        std::set<std::string> named;
        for (const std::string &dir : librarySearchDirectories())
            if (named.insert(dir).second)
                places += ", " + dir;
        lines.push_back(what + name + " was not found (" + (error ? error : "not found") + "); looked in "
                        + places);
        lines.push_back(d2xx ? "install it (" + documentationFolder() + "/hardware-linux.md), or use libftdi1: "
                                   "veldrin --libftdi list"
                             : "install it: sudo apt install libftdi1-2");
        return lines;
    }
    const std::string file = loadedFile(module, name);
    ::dlclose(module);
    const char *root = std::getenv("VELDRIN_SYSFS_ROOT");
    const std::string sysfs = root ? root : "/sys";
    const std::vector<Chip> chips = ftdiChips(sysfs + "/bus/usb/devices");
    int instruments = 0, held = 0;
    for (const Chip &chip : chips) {
        if (chip.serial.rfind("SY", 0) != 0)
            continue;
        ++instruments;
        for (const Interface &interface : chip.interfaces)
            if (interface.driver == "ftdi_sio") {
                ++held;
                break;
            }
    }
    const std::string loaded = what + "loaded from " + file + ", but ";
    if (chips.empty())
        lines.push_back(loaded + "no FTDI chip (USB vendor 0403) is visible on the USB bus");
    else if (instruments == 0)
        lines.push_back(loaded + "none of the " + std::to_string(chips.size())
                        + " FTDI chips is an instrument (serial number starting with SY)");
    else if (held > 0 && d2xx)
        lines.push_back(loaded + std::to_string(held) + " instrument chip(s) are held by the kernel's serial "
                        "driver ftdi_sio, which D2XX cannot open through");
    else
        lines.push_back(loaded + std::to_string(instruments)
                        + " instrument chip(s) on the bus were not listed (busy in another program, or no "
                          "access to the USB device node)");
    return lines;
}

int otherFtdiChips()
{
    const char *root = std::getenv("VELDRIN_SYSFS_ROOT");
    int others = 0;
    for (const Chip &chip : ftdiChips(std::string(root ? root : "/sys") + "/bus/usb/devices"))
        if (chip.serial.rfind("SY", 0) != 0)
            ++others;
    return others;
}

#elif !defined(_WIN32) // Windows: DoctorWindows.cpp

std::vector<std::string> explainNoInstruments(UsbProvider provider)
{
    return {provider == UsbProvider::D2xx ? "FTDI's D2XX library found no instrument"
                                          : "libftdi1 found no instrument"};
}

int otherFtdiChips()
{
    return 0;
}

int runDoctor(const std::vector<std::string> &, std::ostream &, std::ostream &err)
{
    err << "veldrin doctor checks Linux and Windows machines only.\n";
    return 2;
}

#endif

std::string documentationFolder()
{
#if defined(__linux__)
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        self[length] = '\0';
        std::string dir(self);
        dir = dir.substr(0, dir.find_last_of('/'));
        const std::string installed = dir + "/../share/doc/veldrinlib";
        if (char *real = ::realpath(installed.c_str(), nullptr)) {
            const std::string found = real;
            std::free(real);
            return found;
        }
    }
#endif
    return "/usr/share/doc/veldrinlib";
}
