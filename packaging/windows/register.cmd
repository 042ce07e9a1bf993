@echo off
rem Registers the WIC codec of this folder for the whole machine, as
rem regsvr32 does: x64\zqvwic.dll for 64-bit programs and x86\zqvwic.dll
rem for 32-bit ones (on 32-bit Windows the second only). Needs an
rem administrator. With /u (unregister.cmd) it removes the registration.
setlocal
set "undo="
set "done=registered"
if "%~1"=="" goto start
if /i not "%~1"=="/u" goto usage
set "undo=/u"
set "done=unregistered"
:start
set "here=%~dp0"
set "failed="

rem On 64-bit Windows a 32-bit command prompt finds the 64-bit System32 as
rem Sysnative (System32 is the 32-bit one there).
set "system64=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\regsvr32.exe" set "system64=%SystemRoot%\Sysnative"
if not exist "%SystemRoot%\SysWOW64\regsvr32.exe" goto windows32
call :regsvr32 "%system64%\regsvr32.exe" x64 64-bit
call :regsvr32 "%SystemRoot%\SysWOW64\regsvr32.exe" x86 32-bit
goto end
:windows32
call :regsvr32 "%SystemRoot%\System32\regsvr32.exe" x86 32-bit
:end
if not defined failed exit /b 0
echo.
echo Run %~nx0 as an administrator, beside its x64 and x86 folders.
exit /b 1

:usage
echo usage: %~nx0 [/u]
exit /b 2

rem regsvr32 PROGRAM FOLDER KIND: runs the regsvr32 PROGRAM on FOLDER's DLL.
:regsvr32
"%~1" /s %undo% "%here%%~2\zqvwic.dll"
if errorlevel 1 goto regsvr32_failed
echo The codec for %~3 programs is %done%: %here%%~2\zqvwic.dll
exit /b 0
:regsvr32_failed
echo The codec for %~3 programs could not be %done%: %here%%~2\zqvwic.dll
set "failed=1"
exit /b 1
