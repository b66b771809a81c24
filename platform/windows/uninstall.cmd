@echo off
rem Unloads the Pontor minifilter and removes its driver package (pontor.sys,
rem the service and its instance) and the test certificate install.cmd
rem trusted. Close every program that has a stub open first: a bound stub
rem keeps its image files open.
setlocal
cd /d "%~dp0"
rem After the cd, so that a "!" in this folder's name stays.
setlocal EnableDelayedExpansion

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

rem The driver store names the package oemNN.inf. pnputil lists each package
rem as lines of "label: value", the published name before the original one;
rem the labels are in the system's language, so only the values are read.
set packages=
set published=
for /f "tokens=1,* delims=:" %%a in ('pnputil /enum-drivers ^| findstr /i /r /c:": *oem[0-9]*\.inf$" /c:": *pontor\.inf$"') do (
    for %%v in (%%b) do (
        if /i "%%v"=="pontor.inf" (set packages=!packages! !published!) else set published=%%v
    )
)
if "%packages%"=="" echo uninstall: no pontor.inf package is in the driver store
for %%p in (%packages%) do (
    pnputil /delete-driver %%p /uninstall
    set result=!errorlevel!
    if not "!result!"=="0" if not "!result!"=="3010" (
        echo uninstall: pnputil could not remove %%p; its message is above
        set status=1
    )
)
sc query pontor >nul 2>&1
if not errorlevel 1 (
    echo uninstall: the pontor service is still there: sc delete pontor
    set status=1
)

certutil -delstore TrustedPublisher "Pontor Test Signing Certificate (not for production use)" >nul 2>&1
certutil -delstore Root "Pontor Test Signing Certificate (not for production use)" >nul 2>&1

if %status%==0 echo uninstall: pontor is removed; bcdedit /set testsigning off turns test signing off again
exit /b %status%
