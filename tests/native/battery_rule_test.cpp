#include <gtest/gtest.h>

#include "battery_rows.h"
#include "monitor/battery_rule.h"

void PrintTo(const BatteryRow &row, std::ostream *out)
{
    *out << "AC " << row.acLineStatus << ", P " << row.percent << ", L " << row.level;
}

namespace {

using BatteryRuleRows = ::testing::TestWithParam<BatteryRow>;

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

INSTANTIATE_TEST_SUITE_P(WorkedAndEdges, BatteryRuleRows, ::testing::ValuesIn(BatteryRows));

TEST(BatteryRule, AnyNonZeroEngagedCountsAsEngaged)
{
    PowerSnapshot snapshot = {0, 5, 5};
    BatteryAction action = DecideBatteryAction(&snapshot, 7);
    EXPECT_EQ(0u, action.notify);
}

}  // namespace
