# The stand-in Windows host's side of PowerShell, for the play's test: runs the
# script given where %windir% is the host's C:\Windows, with the host's
# services in $QUARVANE_TEST_DRIVE_C/services.txt, through the tests' stand-in
# service control (tests/fleet/powershell/ServiceControl.StandIn.ps1) and the
# Linux host (LinuxHost.ps1 beside it), which give it what Linux lacks.
param([string]$Script)
$drive = $env:QUARVANE_TEST_DRIVE_C
$env:QUARVANE_TEST_SERVICES = Join-Path $drive 'services.txt'
. (Join-Path $PSScriptRoot '../powershell/ServiceControl.StandIn.ps1')

# The paths that the script's defaults give on Windows.
$env:QUARVANE_TEST_RUN_SCRIPT = $Script
& (Join-Path $PSScriptRoot '../powershell/LinuxHost.ps1') -Catroot (Join-Path $drive 'Windows/System32/catroot') -LogFolder (Join-Path $drive 'Windows/Logs/Quarvane') -ServiceTimeoutSeconds 5
exit $LASTEXITCODE
