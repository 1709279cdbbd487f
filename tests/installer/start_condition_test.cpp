// Whether an install starts the monitor: Windows Installer's own evaluator
// reads StartMonitor's condition from the built package, after costing, with
// the installing account's SID set as Windows Installer sets it. Under Wine
// every process runs as one user and msiexec takes no UserSID from its
// command line, so only this way can the LocalSystem case be shown.
#include <gtest/gtest.h>
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

#include "build_path.h"

namespace {

struct MsiHandle
{
    MSIHANDLE handle = 0;
    ~MsiHandle()
    {
        if (handle)
            MsiCloseHandle(handle);
    }
};

// The action's condition as the package's InstallExecuteSequence holds it.
std::string SequenceCondition(MSIHANDLE session, const char *action)
{
    MsiHandle database, view, record;
    database.handle = MsiGetActiveDatabase(session);
    const std::string query =
        std::string("SELECT `Condition` FROM `InstallExecuteSequence` WHERE `Action` = '") + action + "'";
    char text[1024] = "";
    DWORD size = sizeof text;
    if (MsiDatabaseOpenViewA(database.handle, query.c_str(), &view.handle) != ERROR_SUCCESS ||
        MsiViewExecute(view.handle, 0) != ERROR_SUCCESS ||
        MsiViewFetch(view.handle, &record.handle) != ERROR_SUCCESS ||
        MsiRecordGetStringA(record.handle, 1, text, &size) != ERROR_SUCCESS)
        return "(no row)";
    return text;
}

struct StartCase
{
    const char *installer;
    const char *userSid;
    MSICONDITION expected;
};

const StartCase StartCases[] = {
    {"a person", "S-1-5-21-1004336348-1177238915-682003330-1000", MSICONDITION_TRUE},
    {"a management system as LocalSystem", "S-1-5-18", MSICONDITION_FALSE},
};

TEST(StartMonitorCondition, StartsForAPersonButNeverAsLocalSystem)
{
    MsiSetInternalUI(INSTALLUILEVEL_NONE, NULL);
    for (const StartCase &c : StartCases) {
        SCOPED_TRACE(c.installer);
        MsiHandle session;
        ASSERT_EQ(ERROR_SUCCESS, MsiOpenPackageA(BuildFilePath(ZN_PACKAGE_UNIX_PATH).c_str(), &session.handle)) << BuildFilePath(ZN_PACKAGE_UNIX_PATH);
        for (const char *action : {"CostInitialize", "FileCost", "CostFinalize"})
            ASSERT_EQ(ERROR_SUCCESS, MsiDoActionA(session.handle, action)) << action;
        ASSERT_EQ(ERROR_SUCCESS, MsiSetPropertyA(session.handle, "UserSID", c.userSid));

        const std::string condition = SequenceCondition(session.handle, "StartMonitor");
        EXPECT_EQ(c.expected, MsiEvaluateConditionA(session.handle, condition.c_str()))
            << "condition: " << condition << ", UserSID " << c.userSid
            << " (MSICONDITION_FALSE 0, TRUE 1, NONE 2, ERROR 3)";
    }
}

}  // namespace
