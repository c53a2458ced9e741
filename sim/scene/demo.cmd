@echo off
rem The bridge doing its whole job against the simulators: "demo.cmd 5" with the device on COM5
rem and okvbridge on COM4, the two ends of a joined pair. "demo.cmd --help" tells more.
"%~dp0okvsim-scene.exe" %*
exit /b %ERRORLEVEL%
