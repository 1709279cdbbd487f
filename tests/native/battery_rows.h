// The battery rule's rows, from the design (docs/design.md, the window):
// natively each row is decided on its own, and on the simulated machine the
// monitor's window ticks through them in this order, which crosses the band
// several times from both sides.
#pragma once

#include <stdint.h>

struct BatteryRow
{
    uint32_t acLineStatus;
    uint32_t percent;
    uint32_t level;
    uint32_t period;  // ms the timer is re-armed with; 0: the period stays as it was
    uint32_t engage;
};

const uint32_t Unchanged = 0, Short = 20000, Long = 120000;

const BatteryRow BatteryRows[] = {
    // The worked rows of the rule with a critical level of 5. The period set
    // on battery stays when mains power returns with a healthy battery.
    {0, 100, 5, Long, 0},      {0, 10, 5, Short, 0},      {0, 7, 5, Short, 0},
    {0, 6, 5, Unchanged, 1},   {0, 5, 5, Unchanged, 1},   {0, 4, 5, Unchanged, 0},
    {0, 255, 5, Long, 0},      {1, 100, 5, Unchanged, 0}, {1, 5, 5, Unchanged, 1},
    {1, 4, 5, Unchanged, 1},   {1, 3, 5, Short, 0},       {1, 0, 5, Short, 0},
    {255, 255, 5, Unchanged, 0},
    // Boundaries around them: the step from 5 to 6, a level of 0, unknown line status.
    {0, 11, 5, Long, 0},       {1, 0, 0, Unchanged, 1},   {0, 0, 0, Unchanged, 1},
    {0, 1, 0, Unchanged, 1},   {0, 2, 0, Short, 0},       {0, 6, 0, Long, 0},
    {1, 1, 0, Unchanged, 0},   {255, 5, 5, Unchanged, 1}, {255, 4, 5, Unchanged, 1},
    {255, 0, 5, Short, 0},     {1, 1, 6, Short, 0},       {1, 0, 6, Long, 0},
    {1, 0, 255, Long, 0},
};
