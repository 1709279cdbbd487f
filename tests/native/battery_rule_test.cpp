#include <gtest/gtest.h>

#include "monitor/battery_rule.h"

namespace {

struct BatteryRow
{
    uint32_t acLineStatus;
    uint32_t percent;
    uint32_t level;
    uint32_t period;
    uint32_t engage;
};

void PrintTo(const BatteryRow &row, std::ostream *out)
{
    *out << "AC " << row.acLineStatus << ", P " << row.percent << ", L " << row.level;
}

using BatteryRuleRows = ::testing::TestWithParam<BatteryRow>;

const uint32_t Unchanged = BatteryPeriodUnchanged;
const uint32_t Short = BatteryPeriodShort;
const uint32_t Long = BatteryPeriodLong;

const BatteryRow Rows[] = {
    // The worked rows of the rule with a critical level of 5.
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

TEST_P(BatteryRuleRows, GivesPeriodAndVerdict)
{
    const BatteryRow &row = GetParam();
    PowerSnapshot snapshot = {row.acLineStatus, row.percent, row.level};

    for (uint32_t engaged = 0; engaged <= 1; engaged++) {
        BatteryAction action = DecideBatteryAction(&snapshot, engaged);
        EXPECT_EQ(row.period, action.period) << "engaged " << engaged;
        EXPECT_EQ(row.engage, action.engage) << "engaged " << engaged;
        EXPECT_EQ(row.engage != engaged ? 1u : 0u, action.notify) << "engaged " << engaged;
    }
}

INSTANTIATE_TEST_SUITE_P(WorkedAndEdges, BatteryRuleRows, ::testing::ValuesIn(Rows));

TEST(BatteryRule, AnyNonZeroEngagedCountsAsEngaged)
{
    PowerSnapshot snapshot = {0, 5, 5};
    BatteryAction action = DecideBatteryAction(&snapshot, 7);
    EXPECT_EQ(0u, action.notify);
}

}  // namespace
