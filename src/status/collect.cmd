@echo off
rem Makes fleet.csv, one row per machine, from the ZN374Stat.exe /values files
rem that a computer startup script wrote to the share. Runs on Windows 2000, XP
rem and Server 2003. package.product_code is what msiexec /x takes to remove
rem whichever build a machine has.
setlocal
set empty=0
set columns=machine,verdict,reason.code,directshow.reason.code,autostart.starts_monitor
> fleet.csv echo %columns%,monitors.count,report.version,package.product_code
for %%f in (\\server\zn374$\*.txt) do call :row "%%~f"
echo %empty% empty reports; the table is fleet.csv
goto :eof
:row
if "%~z1"=="0" set /a empty+=1
setlocal
for /f "usebackq tokens=1,* delims==" %%a in (%1) do set "%%a=%%b"
if "%~z1"=="0" set verdict=empty
set "row=%~n1,%verdict%,%reason.code%,%directshow.reason.code%,%autostart.starts_monitor%"
>> fleet.csv echo %row%,%monitors.count%,%report.version%,%package.product_code%
endlocal
