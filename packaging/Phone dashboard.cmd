@echo off
rem Shows the live dashboard on a phone: serves the dashboard page from this
rem PC for the server running here, prints its address and a QR code for the
rem phone's camera, and keeps this window open.
cd /d "%~dp0"
tarmis_dash.exe --web 8080 %*
pause
