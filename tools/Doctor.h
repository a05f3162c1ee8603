// `veldrin doctor`: checks what a Linux machine needs before the library can
// reach real instruments through FTDI's D2XX library, and prints the command
// that fixes each problem it finds. It only reads: the D2XX library (loaded
// and asked for its device list), sysfs (FTDI chips, their bound drivers, the
// ftdi_sio module) and the USB device nodes under /dev (owner, group, mode,
// access list). Tests point it at fake sysfs and /dev trees.
#ifndef VELDRIN_TOOLS_DOCTOR_H
#define VELDRIN_TOOLS_DOCTOR_H

#include <ostream>
#include <string>
#include <vector>

// Runs the checks with the arguments that follow `doctor` on the command line
// (`--libftdi` checks the libftdi1 route as the one in use). Returns 0 when
// nothing stands in the way, 1 when a problem was found, 2 for a usage error.
int runDoctor(const std::vector<std::string> &arguments, std::ostream &out, std::ostream &err);

// The USB providers a machine's instruments are reached through.
enum class UsbProvider { D2xx, LibFtdi };

// Why a provider listed no instrument, one finding a line: the library does
// not load (and where it was looked for), no FTDI chip is visible, the chips
// are held by the kernel's serial driver or are not instruments.
std::vector<std::string> explainNoInstruments(UsbProvider provider);

// The FTDI chips on the USB bus whose serial number is not an instrument's
// (they are not listed); 0 where the bus cannot be read.
int otherFtdiChips();

// Where the documentation is: the installed share/doc/veldrinlib beside the
// tool, else the source tree's docs folder of a build.
std::string documentationFolder();

#endif
