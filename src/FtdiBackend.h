#pragma once

#include <memory>

#include "FtdiApi.h"

// The vendor-library provider of the process. It starts as FtdiLibrary (FTDI's
// library loaded at run time); a host switches it explicitly, for instance to
// libftdi1 (LibFtdiLibrary) or a simulated bus. Enumeration takes the provider current at that moment, and
// every device keeps the provider it was listed by, so a switch never affects a
// device that is already listed or open. Safe to use from any thread.
class FtdiBackend
{
public:
    // The current provider (created on first use when none was set).
    static std::shared_ptr<FtdiApi> current();
    // Makes `api` the provider; an empty handle selects a newly loaded FtdiLibrary.
    static void setCurrent(std::shared_ptr<FtdiApi> api);
    // Selects a newly loaded FtdiLibrary (loading is tried again each time).
    static void useFtdiLibrary();
    // Selects a newly loaded LibFtdiLibrary (libftdi1 instead of FTDI's library).
    static void useLibFtdi();
};
