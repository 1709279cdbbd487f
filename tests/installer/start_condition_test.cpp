// Whether an install starts the monitor: the package's own CheckInteractiveLogon,
// loaded from the build and called in a session of the built package, decides
// for the token it runs under; Windows Installer's own evaluator then reads
// StartMonitor's condition, after costing, and the data RestartMonitor gets.
// Wine runs every process as one interactive user, so only a thread that
// impersonates a copy of that token with INTERACTIVE (S-1-5-4) for deny only
// ("CreateRestrictedToken") can stand for an account that nobody sees: a
// service, a scheduled task, a management agent. Wine has no LocalSystem
// token to show.
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

// The thread's impersonation of a restricted token, undone at scope end.
struct Impersonation
{
    HANDLE token = NULL;
    ~Impersonation()
    {
        if (token) {
            RevertToSelf();
            CloseHandle(token);
        }
    }
};

std::string Property(MSIHANDLE session, const char *name)
{
    char value[1024] = "";
    DWORD size = sizeof value;
    MsiGetPropertyA(session, name, value, &size);
    return value;
}

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

// Makes the thread impersonate this process's token with INTERACTIVE kept
// for deny only, as a token of a service or batch log-on lacks it.
bool ImpersonateWithoutInteractive(Impersonation *impersonation)
{
    SID interactive = {SID_REVISION, 1, {SECURITY_NT_AUTHORITY}, {SECURITY_INTERACTIVE_RID}};
    SID_AND_ATTRIBUTES disabled = {&interactive, 0};
    HANDLE process;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process))
        return false;
    const BOOL made = CreateRestrictedToken(process, 0, 1, &disabled, 0, NULL, 0, NULL, &impersonation->token);
    CloseHandle(process);
    return made && ImpersonateLoggedOnUser(impersonation->token);
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
        MsiHandle session;
        ASSERT_EQ(ERROR_SUCCESS, MsiOpenPackageA(BuildFilePath(ZN_PACKAGE_UNIX_PATH).c_str(), &session.handle));
        for (const char *action : {"CostInitialize", "FileCost", "CostFinalize"})
            ASSERT_EQ(ERROR_SUCCESS, MsiDoActionA(session.handle, action)) << action;
        {
            Impersonation impersonation;
            if (!c.interactive) {
                ASSERT_TRUE(ImpersonateWithoutInteractive(&impersonation)) << "error " << GetLastError();
            }
            EXPECT_EQ(ERROR_SUCCESS, check(session.handle));
        }
        ASSERT_EQ(ERROR_SUCCESS, MsiDoActionA(session.handle, "SetRestartMonitorData"));

        const std::string condition = SequenceCondition(session.handle, "StartMonitor");
        EXPECT_EQ(c.expected, MsiEvaluateConditionA(session.handle, condition.c_str()))
            << "condition: " << condition << ", InteractiveLogon [" << Property(session.handle, "InteractiveLogon")
            << "] (MSICONDITION_FALSE 0, TRUE 1, NONE 2, ERROR 3)";
        const std::string data = Property(session.handle, "RestartMonitor");
        EXPECT_EQ(c.restartData, data.substr(0, data.find('|') + 1)) << "RestartMonitor's data: " << data;
    }
    FreeLibrary(actions);
}

}  // namespace
