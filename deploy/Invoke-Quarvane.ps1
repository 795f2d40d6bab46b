<#
.SYNOPSIS
Runs Quarvane.exe where stray catalog folders need it, unattended, and exits
with a status that management tools can read.

.DESCRIPTION
Finds the stray folders as Find-QuarvaneStray.ps1 (beside this script) does.
With none, it exits 0 and touches nothing. Otherwise it:

  1. takes a machine-wide lock, so that a second run at the same time (a
     startup script and Intune, say) does not run Quarvane.exe too;
  2. stops the running services that depend on Cryptographic Services (the
     Application Identity service, AppIDSvc, where AppLocker is enforced), so
     that net stop cryptsvc has nothing to ask;
  3. runs Quarvane.exe beside this script with no input;
  4. starts those services again, whatever the run's result.

Each run keeps one log in LogFolder, named quarvane-<date>-<time>-<id>.log:
Quarvane's lines with the messages of net and ren in the order the console
shows them, the services stopped and started, and the ".old" folders before
and after the run, whose difference is what this run renamed. The newest
KeepLogs logs are kept; older ones are removed.

.PARAMETER QuarvanePath
The program to run; by default Quarvane.exe beside this script.

.PARAMETER LogFolder
Where the logs go; by default %windir%\Logs\Quarvane, which only
administrators and SYSTEM can write.

.PARAMETER KeepLogs
How many logs to keep, this run's included; 30 by default.

.PARAMETER Catroot
The catalog folder that is checked before and after the run; by default
%windir%\System32\catroot, the one Quarvane.exe repairs.

.NOTES
Exit codes:
  0  the run fully succeeded, or there was no stray folder and nothing was done
  1  the run changed the machine and then failed: a folder was not renamed,
     the service did not start again, or a dependent service did not start
     again (the log says which)
  2  nothing was changed: Cryptographic Services or a dependent service would
     not stop, Quarvane.exe could not start, another run held the lock (the
     log says which), or AppLocker or WDAC did not allow this script (its
     output says so)

It must run elevated or as SYSTEM.

.EXAMPLE
powershell.exe -NoProfile -ExecutionPolicy Bypass -File "C:\Program Files\Quarvane\Invoke-Quarvane.ps1"
#>
[CmdletBinding()]
param(
    [string]$QuarvanePath = (Join-Path $PSScriptRoot 'Quarvane.exe'),
    [string]$LogFolder = (Join-Path $env:windir 'Logs\Quarvane'),
    [ValidateRange(1, 10000)][int]$KeepLogs = 30,
    [string]$Catroot = (Join-Path $env:windir 'System32\catroot')
)
Set-StrictMode -Version 3.0
$ErrorActionPreference = 'Stop'

# Where AppLocker or WDAC does not allow this script, PowerShell runs it in
# ConstrainedLanguage mode, which refuses the .NET calls it makes.
$languageMode = $ExecutionContext.SessionState.LanguageMode
if ($languageMode -ne 'FullLanguage') {
    "Invoke-Quarvane.ps1 runs in $languageMode mode, in which it cannot work: allow it and" +
    " Find-QuarvaneStray.ps1 by an AppLocker or WDAC rule. Nothing was changed."
    exit 2
}

# Its name rules, with this run's catroot.
. (Join-Path $PSScriptRoot 'Find-QuarvaneStray.ps1') -Catroot $Catroot

$Banner = 'Quarvane.exe will fix an installation error of Vantesquill.'
$LockName = 'Global\Quarvane-run'
$Utf8WithBom = New-Object System.Text.UTF8Encoding($true)

# Appends lines to this run's log and shows them, so that the tool that ran
# the script reports them too.
function Write-RunLog([string[]]$Line) {
    foreach ($text in $Line) {
        [System.IO.File]::AppendAllText($script:Log, "$text`r`n", $Utf8WithBom)
        Write-Host $text
    }
}

function Write-FolderList([string]$Title, [string[]]$Name) {
    Write-RunLog $Title
    if (-not $Name) { Write-RunLog '  (none)' }
    foreach ($one in $Name) { Write-RunLog "  $one" }
}

# A log of its own: the name holds the time and a random part, and is made
# only if no file has it.
function New-RunLog {
    [void](New-Item -ItemType Directory -Force $LogFolder)
    $name = 'quarvane-{0:yyyyMMdd-HHmmss}-{1}.log' -f (Get-Date), [guid]::NewGuid().ToString('N').Substring(0, 8)
    $path = Join-Path $LogFolder $name
    [System.IO.File]::Open($path, [System.IO.FileMode]::CreateNew).Dispose()
    $path
}

# Keeps this run's log and the newest others, KeepLogs in all.
function Remove-OldRunLog {
    Get-ChildItem -LiteralPath $LogFolder -Filter 'quarvane-*.log' -File |
        Where-Object { $_.FullName -ne $script:Log } |
        Sort-Object LastWriteTimeUtc, Name -Descending | Select-Object -Skip ($KeepLogs - 1) |
        Remove-Item -Force -ErrorAction Continue
}

function Get-OldFolder {
    try {
        [System.IO.Directory]::GetDirectories($Catroot, '*.old') |
            ForEach-Object { [System.IO.Path]::GetFileName($_) } | Sort-Object
    } catch {
        "(catroot cannot be listed: $($_.Exception.Message))"
    }
}

# The running services that depend on Cryptographic Services, in the order in
# which they can be stopped.
function Get-RunningDependent {
    @(Get-Service -Name CryptSvc -DependentServices | Where-Object { $_.Status -eq 'Running' })
}

# Stops each service in turn and returns those it stopped. On the first that
# will not stop, it starts the others again and throws.
function Stop-Dependent($Services) {
    $stopped = @()
    foreach ($service in $Services) {
        try {
            Stop-Service -Name $service.Name -ErrorAction Stop
        } catch {
            Write-RunLog "Could not stop $($service.Name): $($_.Exception.Message)"
            [void](Start-Dependent $stopped)
            throw
        }
        Write-RunLog "Stopped $($service.Name) ($($service.DisplayName))."
        $stopped += $service
    }
    , $stopped
}

# Starts the services, the last stopped first; returns whether all started.
function Start-Dependent($Services) {
    $allStarted = $true
    $Services = @($Services)
    for ($i = $Services.Count - 1; $i -ge 0; $i--) {
        try {
            Start-Service -Name $Services[$i].Name -ErrorAction Stop
            Write-RunLog "Started $($Services[$i].Name) again."
        } catch {
            Write-RunLog "Could not start $($Services[$i].Name) again: $($_.Exception.Message)"
            $allStarted = $false
        }
    }
    $allStarted
}

# Runs the program with no input, its output and error into one file, so that
# its lines and those of net and ren keep the console's order. The command
# line goes to cmd as it is written here, whatever PowerShell's own quoting.
function Start-QuarvaneProgram([string]$Output) {
    $start = New-Object System.Diagnostics.ProcessStartInfo
    $start.UseShellExecute = $false
    if ($PSVersionTable.PSEdition -eq 'Desktop' -or $IsWindows) {
        $start.FileName = Join-Path $env:windir 'System32\cmd.exe'
        $start.Arguments = "/d /c `"`"$QuarvanePath`" <NUL >`"$Output`" 2>&1`""
    } else {
        # Where PowerShell runs on Linux, for the tests: the same through sh.
        $start.FileName = '/bin/sh'
        foreach ($argument in '-c', 'exec "$0" </dev/null >"$1" 2>&1', $QuarvanePath, $Output) {
            $start.ArgumentList.Add($argument)
        }
    }
    $process = [System.Diagnostics.Process]::Start($start)
    $process.WaitForExit()
    $process.ExitCode
}

# The program's lines, read as the console's (OEM) code page, and its status.
function Invoke-QuarvaneProgram {
    $output = "$script:Log.output"
    $status = Start-QuarvaneProgram $output
    $oem = [System.Text.Encoding]::GetEncoding([Globalization.CultureInfo]::CurrentCulture.TextInfo.OEMCodePage)
    $lines = @()
    if (Test-Path -LiteralPath $output) {
        $lines = @([System.IO.File]::ReadAllLines($output, $oem))
        Remove-Item -LiteralPath $output
    }
    @{ Lines = $lines; Status = $status }
}

# The exit code for the program's output and status: whether it started, and
# whether it changed anything before it failed.
function Get-RunVerdict($Run) {
    $lines = @($Run.Lines | Where-Object { $_ -ne '' })
    if ($lines.Count -eq 0 -or $lines[0] -cne $Banner) {
        return @{ Code = 2; Reason = "Quarvane.exe did not start (exit status $($Run.Status)): nothing was changed." }
    }
    if ($lines -ceq 'Quarvane failed!') {
        return @{ Code = 2; Reason = 'Quarvane failed!: the stop of Cryptographic Services failed, and nothing was changed.' }
    }
    if ($Run.Status -eq 0 -and $lines[-1] -ceq 'Quarvane successfully!' -and -not ($lines -clike 'Command: *')) {
        return @{ Code = 0; Reason = 'The run fully succeeded.' }
    }
    @{ Code = 1; Reason = 'The run changed the machine and then failed: see the lines above.' }
}

function Invoke-Repair {
    Write-FolderList 'Stray folders:' $script:Strays
    $oldBefore = @(Get-OldFolder)
    Write-FolderList '.old folders before:' $oldBefore
    try {
        $stopped = Stop-Dependent (Get-RunningDependent)
    } catch {
        Write-RunLog "The services that depend on Cryptographic Services could not be stopped ($($_.Exception.Message)): nothing was changed."
        return 2
    }
    try {
        $run = Invoke-QuarvaneProgram
    } catch {
        $run = @{ Lines = @(); Status = "none: $($_.Exception.Message)" }
    }
    Write-RunLog (@('--- Quarvane.exe ---') + $run.Lines + '---')
    $verdict = Get-RunVerdict $run
    $dependentsRunning = Start-Dependent $stopped
    $oldAfter = @(Get-OldFolder)
    Write-FolderList '.old folders after:' $oldAfter
    Write-FolderList 'Renamed by this run (the list for the way back):' @($oldAfter | Where-Object { $oldBefore -cnotcontains $_ })
    Write-RunLog $verdict.Reason
    if ($verdict.Code -ne 1 -and -not $dependentsRunning) {
        Write-RunLog 'A dependent service did not start again: the machine is not as it was.'
        return 1
    }
    $verdict.Code
}

$script:Strays = @(Get-QuarvaneStray -Catroot $Catroot)
if ($script:Strays.Count -eq 0) {
    "No stray folder in ${Catroot}: nothing to do, nothing touched."
    exit 0
}

$script:Log = New-RunLog
Write-RunLog "Quarvane run on $env:COMPUTERNAME at $((Get-Date).ToString('u')), PowerShell $($PSVersionTable.PSVersion)"
$lock = New-Object System.Threading.Mutex($false, $LockName)
try {
    $held = $lock.WaitOne(0)
} catch [System.Threading.AbandonedMutexException] {
    $held = $true  # an earlier run ended without letting go of it
}
if (-not $held) {
    $code = 2
    Write-RunLog "Another Quarvane run holds the lock ${LockName}: this one ran nothing and changed nothing."
} else {
    try {
        $code = Invoke-Repair
    } finally {
        $lock.ReleaseMutex()
    }
}
$lock.Dispose()
Write-RunLog "Exit code $code. Log: $script:Log"
Remove-OldRunLog
exit $code
