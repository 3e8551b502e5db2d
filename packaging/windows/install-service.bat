@echo off
rem Installs the service of the product folder this file lies in, under the
rem instance name given (Main when none), started at boot: the install line
rem of the README with this folder filled in. Run it as an administrator.
rem It shows the outcome QuillonSrv.exe leaves in Quillon.ini.
setlocal
set "instance=%~1"
if "%instance%"=="" set "instance=Main"
for %%I in ("%~dp0..") do set "product=%%~fI"
"%~dp0QuillonSrv.exe" -install,-auto,%instance%,%product%\bin,%product%
"%~dp0quillon-ini.exe" get "%product%\Quillon.ini" NTService LastMsg
echo.
