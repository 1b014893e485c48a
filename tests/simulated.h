// Helpers shared by the tests: put a fresh simulated chip on the port and make
// the driver's busy polls quick.
#pragma once

#include "at45db041d.h"
#include "lpt.h"
#include "simchip.h"

#include <QByteArray>

#include <vector>

namespace testing {

// A chip without busy times and without an image file.
inline simchip::Config fastChip()
{
    simchip::Config config;
    config.setBusyTimes(0);
    return config;
}

// Powers the simulated chip up with this configuration and points the port
// link at it through the real loading path.
inline bool attach(const simchip::Config& config)
{
    simchip::reset(config);
    lptBase = static_cast<std::int16_t>(config.base);
    return LPT_LoadDriver();
}

// Polls that neither sleep nor wait long, so a chip that stops answering
// fails a test quickly.
inline void quickPolls()
{
    dataflashTiming.pageSizeChange = { 0, 50 };
    dataflashTiming.pageProgram = { 0, 50 };
    dataflashTiming.chipErase = { 0, 50 };
}

inline QByteArray bytes(const std::vector<std::uint8_t>& v)
{
    return QByteArray(reinterpret_cast<const char*>(v.data()), static_cast<int>(v.size()));
}

} // namespace testing
