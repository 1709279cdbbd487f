#include "monitor/battery_rule.h"

BatteryAction DecideBatteryAction(const PowerSnapshot *snapshot, uint32_t engaged)
{
    BatteryAction action = {BatteryPeriodUnchanged, 0, 0};
    uint32_t percent = snapshot->batteryPercent;
    uint32_t level = snapshot->criticalLevel;
    int onBattery = snapshot->acLineStatus == 0;

    // The band is measured above the critical level on battery power but below
    // it on mains power (or when the line status is unknown); outside that side
    // the band is left and the poll period kept.
    if (onBattery ? percent >= level : percent <= level) {
        uint32_t distance = onBattery ? percent - level : level - percent;
        if (distance > 5)
            action.period = BatteryPeriodLong;
        else if (distance >= 2)
            action.period = BatteryPeriodShort;
        else
            action.engage = 1;
    }
    action.notify = action.engage != (engaged ? 1u : 0u);
    return action;
}
