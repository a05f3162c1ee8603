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

// Runs the checks with the arguments that follow `doctor` on the command line.
// Returns 0 when nothing stands in the way, 1 when a problem was found, 2 for
// a usage error.
int runDoctor(const std::vector<std::string> &arguments, std::ostream &out, std::ostream &err);

#endif
