// Whether an install starts the monitor: the package's CheckInteractiveLogon,
// called in a session of the built package, decides for the token it runs
// under, then Windows Installer evaluates StartMonitor's condition and the data
// RestartMonitor gets. Wine runs everything as one interactive user: a thread
// impersonating that token with INTERACTIVE for deny only stands for a service
// or a scheduled task. Wine has no LocalSystem token to show.
#include <gtest/gtest.h>
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>

#include "build_path.h"

namespace {

std::string Property(MSIHANDLE session, const char *name)
{
    char value[1024] = "";
    DWORD size = sizeof value;
    return MsiGetPropertyA(session, name, value, &size) == ERROR_SUCCESS ? value : "(unreadable)";
}

// The action's condition as the package's InstallExecuteSequence holds it.
std::string SequenceCondition(MSIHANDLE session, const char *action)
{
    PMSIHANDLE database = MsiGetActiveDatabase(session);
    PMSIHANDLE view, record;
    const std::string query =
        std::string("SELECT `Condition` FROM `InstallExecuteSequence` WHERE `Action` = '") + action + "'";
    char text[1024] = "";
    DWORD size = sizeof text;
    if (MsiDatabaseOpenViewA(database, query.c_str(), &view) != ERROR_SUCCESS ||
        MsiViewExecute(view, 0) != ERROR_SUCCESS || MsiViewFetch(view, &record) != ERROR_SUCCESS ||
        MsiRecordGetStringA(record, 1, text, &size) != ERROR_SUCCESS)
        return "(no row)";
    return text;
}

// Makes the thread impersonate this process's token with INTERACTIVE kept
// for deny only, as a token of a service or batch log-on lacks it.
bool ImpersonateWithoutInteractive()
{
    SID interactive = {SID_REVISION, 1, {SECURITY_NT_AUTHORITY}, {SECURITY_INTERACTIVE_RID}};
    SID_AND_ATTRIBUTES disabled = {&interactive, 0};
    HANDLE process, restricted = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process))
        return false;
    const BOOL made = CreateRestrictedToken(process, 0, 1, &disabled, 0, NULL, 0, NULL, &restricted);
    const BOOL impersonating = made && ImpersonateLoggedOnUser(restricted);
    if (restricted)
        CloseHandle(restricted);
    CloseHandle(process);
    return impersonating;
}

struct StartCase
{
    const char *installer;
    bool interactive;
    MSICONDITION expected;
    const char *restartData;  // what RestartMonitor's data starts with
};

const StartCase StartCases[] = {
    {"a person at an interactive log-on", true, MSICONDITION_TRUE, "1|"},
    {"an account without an interactive log-on", false, MSICONDITION_FALSE, "|"},
};

TEST(StartMonitorCondition, StartsOnlyForAPersonAtAnInteractiveLogOn)
{
    typedef UINT(WINAPI * Action)(MSIHANDLE);
    HMODULE actions = LoadLibraryA(BuildFilePath(ZN_ACTIONS_UNIX_PATH).c_str());
    ASSERT_NE(nullptr, actions) << "LoadLibrary error " << GetLastError();
    const Action check =
        reinterpret_cast<Action>(reinterpret_cast<void *>(GetProcAddress(actions, "CheckInteractiveLogon")));
    ASSERT_NE(nullptr, check);
    MsiSetInternalUI(INSTALLUILEVEL_NONE, NULL);
    for (const StartCase &c : StartCases) {
        SCOPED_TRACE(c.installer);
        PMSIHANDLE session;
        ASSERT_EQ(ERROR_SUCCESS, MsiOpenPackageA(BuildFilePath(ZN_PACKAGE_UNIX_PATH).c_str(), &session));
        for (const char *action : {"CostInitialize", "FileCost", "CostFinalize"})
            ASSERT_EQ(ERROR_SUCCESS, MsiDoActionA(session, action)) << action;
        const bool impersonating = !c.interactive && ImpersonateWithoutInteractive();
        ASSERT_EQ(!c.interactive, impersonating) << "error " << GetLastError();
        EXPECT_EQ(ERROR_SUCCESS, check(session));
        if (impersonating)
            RevertToSelf();
        ASSERT_EQ(ERROR_SUCCESS, MsiDoActionA(session, "SetRestartMonitorData"));
        // As the sequence runs it: a first install replaces the file, so its condition holds.
        const std::string replaces = SequenceCondition(session, "SetMonitorFileChanges");
        if (MsiEvaluateConditionA(session, replaces.c_str()) == MSICONDITION_TRUE)
            ASSERT_EQ(ERROR_SUCCESS, MsiDoActionA(session, "SetMonitorFileChanges"));

        const std::string condition = SequenceCondition(session, "StartMonitor");
        EXPECT_EQ(c.expected, MsiEvaluateConditionA(session, condition.c_str()))
            << "condition: " << condition << ", InteractiveLogon [" << Property(session, "InteractiveLogon")
            << "] (MSICONDITION_FALSE 0, TRUE 1, NONE 2, ERROR 3)";
        const std::string data = Property(session, "RestartMonitor");
        EXPECT_EQ(c.restartData, data.substr(0, data.find('|') + 1)) << "RestartMonitor's data: " << data;
    }
    FreeLibrary(actions);
}

}  // namespace
