@echo off
rem Installs the Pontor minifilter from this folder and loads it. Run from an
rem elevated prompt on a test machine with test signing on (README.txt).
setlocal
cd /d "%~dp0"

net session >nul 2>&1
if errorlevel 1 (
    echo install: run this from an elevated prompt: Run as administrator
    exit /b 1
)
rem Only a warning: bcdedit's values may be shown in the system's language.
bcdedit /enum {current} | findstr /i /r /c:"^testsigning  *yes" >nul
if errorlevel 1 (
    echo install: warning: test signing looks off; Windows loads pontor.sys only after
    echo install: bcdedit /set testsigning on and a restart, with Secure Boot off
)

rem The throwaway certificate that test-signed pontor.sys, trusted on this
rem machine only; uninstall.cmd removes it.
certutil -f -addstore Root pontor-test.cer >nul
if errorlevel 1 goto :failed
certutil -f -addstore TrustedPublisher pontor-test.cer >nul
if errorlevel 1 goto :failed

rem Copies pontor.sys to %windir%\system32\drivers and creates the service with
rem its instance and altitude. rundll32 reports nothing, so check the results.
rundll32.exe setupapi.dll,InstallHinfSection DefaultInstall.NTamd64 132 .\pontor.inf
if not exist "%windir%\system32\drivers\pontor.sys" (
    echo install: the INF did not copy pontor.sys to %windir%\system32\drivers
    goto :failed
)
sc query pontor >nul
if errorlevel 1 (
    echo install: the INF did not create the pontor service
    goto :failed
)

fltmc load pontor
if errorlevel 1 goto :failed
fltmc instances -f pontor
fltmc instances -f pontor | findstr /c:"Pontor Instance" >nul
if errorlevel 1 (
    echo install: pontor is loaded but attached to no volume
    goto :failed
)
echo install: pontor is loaded; uninstall.cmd unloads and removes it
exit /b 0

:failed
echo install: failed; uninstall.cmd removes what was installed
exit /b 1
