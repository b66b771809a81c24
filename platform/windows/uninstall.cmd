@echo off
rem Unloads the Pontor minifilter and removes it, its service and the test
rem certificate install.cmd trusted. Close every program that has a stub open
rem first: a bound stub keeps its image files open.
setlocal
cd /d "%~dp0"

net session >nul 2>&1
if errorlevel 1 (
    echo uninstall: run this from an elevated prompt: Run as administrator
    exit /b 1
)

set status=0
fltmc filters | findstr /b /i /c:"pontor " >nul
if not errorlevel 1 (
    fltmc unload pontor
    if errorlevel 1 (
        echo uninstall: pontor did not unload: close the programs using stubs and run this again
        exit /b 1
    )
)

rem Deletes the service and %windir%\system32\drivers\pontor.sys.
rundll32.exe setupapi.dll,InstallHinfSection DefaultUninstall.NTamd64 132 .\pontor.inf
sc query pontor >nul 2>&1
if not errorlevel 1 (
    echo uninstall: the pontor service is still there: sc delete pontor
    set status=1
)

certutil -delstore TrustedPublisher "Pontor Test Signing Certificate (not for production use)" >nul 2>&1
certutil -delstore Root "Pontor Test Signing Certificate (not for production use)" >nul 2>&1

if %status%==0 echo uninstall: pontor is removed; bcdedit /set testsigning off turns test signing off again
exit /b %status%
