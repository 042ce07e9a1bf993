@echo off
rem Removes the registration register.cmd made (needs an administrator).
call "%~dp0register.cmd" /u
exit /b %errorlevel%
