@echo off
rem Start-up script for Group Policy (Computer Configuration > Windows Settings > Scripts >
rem Startup), or for any tool that runs a command as SYSTEM: cleans this PC with qfscan.exe, which
rem lies beside this script, appends its JSON report to SHARE\%COMPUTERNAME%.log and writes its
rem events to the Application log (source Quenfold).
rem   qfscan-startup.cmd SHARE [FOLDER [OPTION...]]
rem FOLDER: what to scan, the system drive when left out or "". OPTIONs go to qfscan as they
rem are, e.g. --exit-codes installer for the codes Intune and Configuration Manager read.
rem The exit code is qfscan's: 0 clean, 1 the worm was found and removed, 2 an error, 3 removed,
rem but a file in use goes only when Windows next starts (see README). With --exit-codes
rem installer: 0 clean or removed, 3010 a restart finishes the removal, 1603 anything else.
setlocal
set "share=%~1"
if "%share%"=="" (
  echo qfscan-startup: no share given 1>&2
  exit /b 2
)
set "folder=%~2"
if "%folder%"=="" set "folder=%SystemDrive%\."
"%~dp0qfscan.exe" --cleanup --delete --json --quiet --event-log --log "%share%\%COMPUTERNAME%.log" %3 %4 %5 %6 "%folder%"
exit /b %ERRORLEVEL%
