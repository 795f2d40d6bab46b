# The stand-in Windows host's side of PowerShell, for the play's test: runs the
# script given where %windir% is the host's C:\Windows, with the host's
# services in $QUARVANE_TEST_DRIVE_C/services.txt ("NAME STATUS" lines, each a
# service that depends on Cryptographic Services). Service control is the one
# part that Linux lacks; stopping and starting a service rewrites its line.
param([string]$Script)
$drive = $env:QUARVANE_TEST_DRIVE_C

# Named from the environment: the functions run in the script's scopes, whose
# variables would hide this file's.
function Get-HostServiceFile { Join-Path $env:QUARVANE_TEST_DRIVE_C 'services.txt' }

function Read-HostService {
    if (-not (Test-Path (Get-HostServiceFile))) { return }
    Get-Content (Get-HostServiceFile) | ForEach-Object {
        $name, $status = -split $_
        [pscustomobject]@{ Name = $name; DisplayName = $name; Status = $status }
    }
}

function Set-HostService([string]$Name, [string]$Status) {
    (Get-Content (Get-HostServiceFile)) -replace "^$Name .*", "$Name $Status" | Set-Content (Get-HostServiceFile)
}

function Get-Service { param($Name, [switch]$DependentServices) Read-HostService }
function Stop-Service { param($Name) Set-HostService $Name Stopped }
function Start-Service { param($Name) Set-HostService $Name Running }

# The paths that the script's defaults give on Windows.
& $Script -Catroot (Join-Path $drive 'Windows/System32/catroot') -LogFolder (Join-Path $drive 'Windows/Logs/Quarvane')
exit $LASTEXITCODE
