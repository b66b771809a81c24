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

rem The throwaway certificate that signed pontor.sys and pontor.cat, trusted on
rem this machine only (TrustedPublisher spares the driver store's prompt);
rem uninstall.cmd removes it.
certutil -f -addstore Root pontor-test.cer >nul
if errorlevel 1 (
    echo install: certutil could not add pontor-test.cer to the Root store
    goto :failed
)
certutil -f -addstore TrustedPublisher pontor-test.cer >nul
if errorlevel 1 (
    echo install: certutil could not add pontor-test.cer to the TrustedPublisher store
    goto :failed
)

rem Stages the package in the driver store (checking pontor.cat) and runs the
rem INF's DefaultInstall: pontor.sys stays in the store, the service and its
rem instance are created. 3010 is success with a restart wanted; failures
rem may be negative, which "if errorlevel" does not see.
pnputil /add-driver pontor.inf /install
set result=%errorlevel%
if not "%result%"=="0" if not "%result%"=="3010" (
    echo install: pnputil could not install pontor.inf; its message is above
    goto :failed
)
sc query pontor >nul
if errorlevel 1 (
    echo install: pnputil reported success but there is no pontor service
    goto :failed
)

fltmc load pontor
if errorlevel 1 (
    echo install: fltmc could not load pontor; its message is above
    goto :failed
)
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
