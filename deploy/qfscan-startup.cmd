@echo off
rem Start-up script for Group Policy (Computer Configuration > Windows Settings > Scripts >
rem Startup), or for any tool that runs a command as SYSTEM: cleans this PC with qfscan.exe, which
rem lies beside this script, and appends its JSON report to SHARE\%COMPUTERNAME%.log.
rem   qfscan-startup.cmd SHARE [FOLDER]     FOLDER: what to scan, the system drive when left out
rem The exit code is qfscan's: 0 clean, 1 the worm was found and removed, 2 an error (see README).
setlocal
set "share=%~1"
if "%share%"=="" (
  echo qfscan-startup: no share given 1>&2
  exit /b 2
)
set "folder=%~2"
if "%folder%"=="" set "folder=%SystemDrive%\."
"%~dp0qfscan.exe" --cleanup --delete --json --quiet --log "%share%\%COMPUTERNAME%.log" "%folder%"
exit /b %ERRORLEVEL%
