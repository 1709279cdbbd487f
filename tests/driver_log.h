// What the stand-in camera driver received, for the Wine tests.
#pragma once

#include <stdint.h>
#include <string.h>

#include <vector>

#include "simkit.h"

// Every logged request in order, up to the first 64.
inline std::vector<SimDriverRequest> DriverLog()
{
    std::vector<SimDriverRequest> log(64);
    memset(log.data(), 0x23, log.size() * sizeof log[0]);
    int count = SimReadDriverLog(log.data(), (int)log.size());
    log.resize(count < 0 ? 0 : count > 64 ? 64 : count);
    return log;
}

// Word 7 of each logged request: the event code plus two.
inline std::vector<uint32_t> DriverEvents()
{
    std::vector<uint32_t> events;
    for (const SimDriverRequest &request : DriverLog())
        events.push_back(request.words[7]);
    return events;
}
