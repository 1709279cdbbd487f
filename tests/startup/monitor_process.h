// Runs the real ZN374Mon.exe as a process on the simulated machine and looks
// at what it leaves behind: its hidden window, its exit code, the Run value.
#pragma once

#include <windows.h>

#include <string>

#include "devtree.h"

// Windows path of the built executable.
std::string MonitorExePath();

// Copies the built executable to folder\fileName (the folder is created);
// returns the copy's path, or "" when the copy failed.
std::string CopyMonitorExe(const std::string &folder, const std::string &fileName);

// A started program; the handles are closed by the destructor.
struct ProgramRun
{
    PROCESS_INFORMATION info;
    ProgramRun();
    ~ProgramRun();
    ProgramRun(const ProgramRun &) = delete;
    ProgramRun &operator=(const ProgramRun &) = delete;
};

// A file that takes a program's standard output and error, as a management
// system collecting them would; it goes when closed.
struct OutputFile
{
    HANDLE handle;  // inheritable; INVALID_HANDLE_VALUE when it could not be made
    OutputFile();
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;
    std::string Text() const;  // everything written to it so far
};

// Starts exePath with the given command-line tail after its quoted name.
bool StartProgram(const std::string &exePath, const std::string &tail, ProgramRun *run);

// The exit code, or STILL_ACTIVE when the process is still running after
// timeoutMs.
DWORD WaitForExitCode(const ProgramRun &run, DWORD timeoutMs);

// The process's top-level dialog window, waiting up to timeoutMs for it.
HWND WaitForMonitorWindow(const ProgramRun &run, DWORD timeoutMs);

// Starts exePath with tail and waits for it to end; returns its exit code, or
// STILL_ACTIVE when it did not end within timeoutMs (it is then terminated).
DWORD RunToExit(const std::string &exePath, const std::string &tail, DWORD timeoutMs);

// The machine-wide Run key, below HKEY_LOCAL_MACHINE, written out here rather
// than taken from the product so that a wrong path there fails the tests.
extern const char RunKeyPath[];

// The "ZN374Mon" value under HKLM\...\Run: true when present.
bool ReadRunValue(std::string *data, DWORD *type);
void WriteRunValue(const std::string &data);
void DeleteRunValue();

// A supported camera as the machine shows it: a device with one of the
// supported hardware IDs (SimDeviceFlags: an Imaging camera plugged in with
// its driver running unless told otherwise), whose driver key holds the name
// and SelectiveSuspend (negative: none), and after any added before it the
// capture filter of that name (SimCameraFlags). False when a step failed.
bool AddSupportedCamera(const char *name, long selectiveSuspend,
                        unsigned deviceFlags = SimDeviceImaging | SimDevicePresent | SimDeviceDriverLoaded,
                        unsigned filterFlags = 0);

// The simulated machine as a test starts from: no Run value, no device,
// camera or driver request, the power policy readable with a critical level
// of 5 and, where a battery is simulated, mains power with a full battery.
// False when a step failed.
bool ResetMachine();

// Makes Wine report the given Windows version ("win2k", "nt40", ...) to the
// executable of that file name; an empty version removes the setting.
void SetWineVersionFor(const std::string &exeFileName, const std::string &version);

// The Windows directory, e.g. "C:\windows".
std::string WindowsDirectory();
