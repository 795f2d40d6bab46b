<#
.SYNOPSIS
Runs Quarvane.exe where stray catalog folders need it, unattended, and exits
with a status that management tools can read.

.DESCRIPTION
Finds the stray folders by the rules of Find-QuarvaneStray.ps1, written into
this script too. With none, it exits 0 and touches nothing. Where the only
stray folders are ones no run can rename (their ".old" name is taken), it
touches nothing either and exits 2, naming them. Otherwise it:

  1. takes a machine-wide lock, so that a second run at the same time (a
     startup script and Intune, say) does not run Quarvane.exe too;
  2. stops the running services that depend on Cryptographic Services (the
     Application Identity service, AppIDSvc, where AppLocker is enforced),
     never a driver, so that net stop cryptsvc has nothing to ask;
  3. runs Quarvane.exe beside this script with no input;
  4. starts those services again, whatever the run's result.

Where Windows will not stop a dependent service (a protected service, or one
that a driver still running depends on), it starts again those it stopped
and exits 2 with Windows' answer. No wait on a service lasts longer than
ServiceTimeoutSeconds.

Each run that finds a stray folder keeps one log in LogFolder, named
quarvane-<date>-<time>-<id>.log: Quarvane's lines with the messages of net
and ren in the order the console shows them, the services stopped and
started, and the ".old" folders before and after the run, whose difference
is what this run renamed. The newest KeepLogs logs are kept; older ones are
removed.

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

.PARAMETER ServiceTimeoutSeconds
How long to wait for a dependent service to stop or to start; 60 by default.

.NOTES
Exit codes:
  0  the run fully succeeded, or there was no stray folder and nothing was
     done (its last line is then "Outcome: nothing to do.")
  1  the run changed the machine and then failed: a folder was not renamed,
     the service did not start again, or a dependent service did not start
     again (the log says which)
  2  nothing was changed: the script is not elevated, a log or the lock
     could not be made, another run held the lock, every stray folder's
     ".old" name is taken, Windows would not stop a dependent service, or
     Cryptographic Services would not stop, or Quarvane.exe could not start
     (the output and, where one could be made, the log say which), or
     AppLocker or WDAC did not allow this script

It must run elevated or as SYSTEM.

.EXAMPLE
powershell.exe -NoProfile -ExecutionPolicy Bypass -File "C:\Program Files\Quarvane\Invoke-Quarvane.ps1"
#>
[CmdletBinding()]
param(
    [string]$QuarvanePath = (Join-Path $PSScriptRoot 'Quarvane.exe'),
    [string]$LogFolder = (Join-Path $env:windir 'Logs\Quarvane'),
    [ValidateRange(1, 10000)][int]$KeepLogs = 30,
    [string]$Catroot = (Join-Path $env:windir 'System32\catroot'),
    [ValidateRange(1, 3600)][int]$ServiceTimeoutSeconds = 60
)
Set-StrictMode -Version 3.0
$ErrorActionPreference = 'Stop'

# Exit codes, the contract with the tools that read them (deploy/vars/result_rule.yml
# and the guide's section 6).
$ExitSucceeded = 0
$ExitChangedThenFailed = 1
$ExitNothingChanged = 2

# Where AppLocker or WDAC does not allow this script, PowerShell runs it in
# ConstrainedLanguage mode, which refuses the .NET calls it makes.
$languageMode = $ExecutionContext.SessionState.LanguageMode
if ($languageMode -ne 'FullLanguage') {
    Write-Host ("Invoke-Quarvane.ps1 runs in $languageMode mode, in which it cannot work: allow it by an" +
        " AppLocker or WDAC rule. Nothing was changed.")
    exit $ExitNothingChanged
}

#region Catalog rules
# Which catroot folders Quarvane.exe renames. This region is the same, to the
# byte, in each fleet script (a management tool may run a detection script
# alone, beside no other file); tests/contracts/contract_test.sh checks that,
# and that the identifiers are the program's (src/repair/catalog_ids.cc).

# Identifiers Windows keeps in catroot, never renamed.
$ReservedCatalogIds = @(
    '{F750E6C3-38EE-11D1-85E5-00C04FC295EE}'
    '{573E31F8-AABA-11D0-8CCB-00C04FC295EE}'
    '{5555C2CD-17FB-11D1-85C4-00C04FC295EE}'
    '{189A3842-3041-11D1-85E1-00C04FC295EE}'
    '{FC451C16-AC75-11D1-B4B8-00C04FB66EA0}'
    '{00AAC56B-CD44-11D0-8CC2-00C04FC295EE}'
    '{573E31F8-DDBA-11D0-8CCB-00C04FC295EE}'
    '{127D0A1D-4EF2-11D1-8608-00C04FC295EE}'
)

# What Windows' own hexadecimal-digit test (iswxdigit) accepts: the ASCII
# digits and letters, and their fullwidth forms.
$HexDigit = '[0-9A-Fa-f\uFF10-\uFF19\uFF21-\uFF26\uFF41-\uFF46]'
$GuidShape = '\A\{{{0}{{8}}-{0}{{4}}-{0}{{4}}-{0}{{4}}-{0}{{12}}\}}\z' -f $HexDigit

function Test-GuidShapedName([string]$Name) {
    # Case-sensitive, so that no letter is matched by its case-folded form.
    $Name.Length -eq 38 -and $Name -cmatch $GuidShape
}

function Test-ReservedCatalogId([string]$Name) {
    foreach ($id in $ReservedCatalogIds) {
        if ([string]::Equals($Name, $id, [StringComparison]::OrdinalIgnoreCase)) { return $true }
    }
    $false
}

# True only for a folder that was listed and holds nothing at all. The
# listing is closed before this returns: an open one would keep Quarvane.exe
# from renaming the folder.
function Test-EmptyFolder([string]$Path) {
    $entries = $null
    try {
        $entries = [System.IO.Directory]::EnumerateFileSystemEntries($Path).GetEnumerator()
        -not $entries.MoveNext()
    } catch {
        $false
    } finally {
        if ($entries) { $entries.Dispose() }
    }
}

# The stray folders of a catroot, in the order it lists them, each with its
# Path, its Name, and OldNameTaken where "<name>.old" is there already, so
# that no run can rename it. Throws where catroot cannot be listed, in which
# Quarvane.exe renames nothing.
function Get-CatalogStray([string]$Catroot) {
    foreach ($folder in [System.IO.Directory]::GetDirectories($Catroot)) {
        $name = [System.IO.Path]::GetFileName($folder)
        if ((Test-GuidShapedName $name) -and -not (Test-ReservedCatalogId $name) -and
            (Test-EmptyFolder $folder)) {
            $oldName = "$folder.old"
            [pscustomobject]@{
                Path         = $folder
                Name         = $name
                OldNameTaken = [System.IO.Directory]::Exists($oldName) -or [System.IO.File]::Exists($oldName)
            }
        }
    }
}
#endregion

# The program's lines that judge a run, its contract with src/repair/repair_run.cc
# (tests/contracts/contract_test.sh checks them).
$Banner = 'Quarvane.exe will fix an installation error of Vantesquill.'
$FailedLine = 'Quarvane failed!'
$SucceededLine = 'Quarvane successfully!'
$CommandFailedPrefix = 'Command: '
# The last line of a run that had nothing to do, by which the playbook
# (deploy/vars/result_rule.yml) tells it from a run that changed the machine.
$NothingToDoLine = 'Outcome: nothing to do.'
$LockName = 'Global\Quarvane-run'
$Utf8WithBom = New-Object System.Text.UTF8Encoding($true)
$script:Log = $null
# Whether the machine may differ from how this run found it; an error that
# ends the run exits 1 once it does, and 2 before.
$script:Changed = $false

# Shows lines, so that the tool that ran the script reports them too, and
# appends them to this run's log where there is one. Every line the script
# shows goes through Write-Host, its one channel (stdout, for a tool that
# runs powershell.exe -File).
function Write-RunLog([string[]]$Line) {
    foreach ($text in $Line) {
        Write-Host $text
        if ($script:Log) {
            try {
                [System.IO.File]::AppendAllText($script:Log, "$text`r`n", $Utf8WithBom)
            } catch {
                Write-Host "(this line is not in the log, which cannot be written: $(Get-ErrorText $_))"
            }
        }
    }
}

function Write-FolderList([string]$Title, [string[]]$Name) {
    Write-RunLog $Title
    if (-not $Name) { Write-RunLog '  (none)' }
    foreach ($one in $Name) { Write-RunLog "  $one" }
}

function Get-ErrorText($ErrorRecord) { $ErrorRecord.Exception.GetBaseException().Message }

# Whether this process may change the machine: on Windows, whether its token
# is in the Administrators role, which a UAC-filtered token (a prompt not
# run as administrator, a local administrator's WinRM session) is not.
function Test-Elevated {
    $identity = [Security.Principal.WindowsIdentity]::GetCurrent()
    (New-Object Security.Principal.WindowsPrincipal($identity)).IsInRole(
        [Security.Principal.WindowsBuiltInRole]::Administrator)
}

# A log of its own: the name holds the time and a random part, and is made
# only if no file has it; a name taken gets another random part.
function New-RunLog {
    [void](New-Item -ItemType Directory -Force -Path $LogFolder)
    for ($try = 1; ; $try++) {
        $name = 'quarvane-{0:yyyyMMdd-HHmmss}-{1}.log' -f (Get-Date), [guid]::NewGuid().ToString('N').Substring(0, 8)
        $path = Join-Path $LogFolder $name
        try {
            [System.IO.File]::Open($path, [System.IO.FileMode]::CreateNew).Dispose()
            return $path
        } catch {
            if ($try -ge 5 -or -not (Test-Path -LiteralPath $path)) { throw }
        }
    }
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
        "(catroot cannot be listed: $(Get-ErrorText $_))"
    }
}

function Test-Driver($Service) { "$($Service.ServiceType)" -match 'Driver' }

# What Windows answered, from the innermost error that carries its code.
function Get-WindowsAnswer($ErrorRecord) {
    $answer = $ErrorRecord.Exception.Message
    for ($e = $ErrorRecord.Exception; $e; $e = $e.InnerException) {
        if ($e -is [System.ComponentModel.Win32Exception]) {
            $answer = "$($e.Message) (error $($e.NativeErrorCode))"
        }
    }
    $answer
}

# Waits, at most ServiceTimeoutSeconds, for a service to reach a state.
function Wait-ServiceStatus([string]$Name, [string]$Status) {
    $clock = [Diagnostics.Stopwatch]::StartNew()
    while ("$((Get-Service -Name $Name).Status)" -ne $Status) {
        if ($clock.Elapsed.TotalSeconds -ge $ServiceTimeoutSeconds) { return $false }
        Start-Sleep -Milliseconds 200
    }
    $true
}

# Stops each service in turn, never waiting past the bound. Returns those it
# stopped, and the reason it went no further where one would not stop.
function Stop-Dependent($Services) {
    $stopped = @()
    foreach ($service in $Services) {
        $name = $service.Name
        $script:Changed = $true
        try {
            # Without -Force, PowerShell refuses a service that something
            # running still depends on; -NoWait, so that the wait is bounded.
            Stop-Service -Name $name -NoWait -ErrorAction Stop
        } catch {
            return @{ Stopped = $stopped; Refusal = "Could not stop ${name}: $(Get-WindowsAnswer $_)" }
        }
        if (-not (Wait-ServiceStatus $name 'Stopped')) {
            $state = (Get-Service -Name $name).Status
            return @{ Stopped = $stopped; Refusal = "$name did not stop within $ServiceTimeoutSeconds seconds (it is $state)" }
        }
        Write-RunLog "Stopped $name ($($service.DisplayName))."
        $stopped += $service
    }
    @{ Stopped = $stopped; Refusal = $null }
}

# Starts the services, the last stopped first, never waiting past the bound;
# returns whether all started.
function Start-Dependent($Services) {
    $allStarted = $true
    $Services = @($Services)
    for ($i = $Services.Count - 1; $i -ge 0; $i--) {
        $name = $Services[$i].Name
        try {
            (Get-Service -Name $name).Start()
        } catch {
            Write-RunLog "Could not start $name again: $(Get-WindowsAnswer $_)"
            $allStarted = $false
            continue
        }
        if (Wait-ServiceStatus $name 'Running') {
            Write-RunLog "Started $name again."
        } else {
            Write-RunLog "$name did not start again within $ServiceTimeoutSeconds seconds (it is $((Get-Service -Name $name).Status))."
            $allStarted = $false
        }
    }
    $allStarted
}

# What an administrator can do where a dependent will not stop.
function Get-RefusalAdvice([string]$Refusal, $RunningDrivers) {
    $advice = @()
    if ($Refusal -match '\(error 5\)') {
        $advice += 'Windows lets no process that is not itself protected stop a protected service (as the' +
            ' Application Identity service, AppIDSvc, is from Windows 10 on), and Microsoft documents no' +
            ' way for an administrator to stop one; see section 6 of the guide.'
    }
    if ($RunningDrivers) {
        $advice += "Still running and depending on Cryptographic Services: $(($RunningDrivers | ForEach-Object Name) -join ', ')," +
            ' a driver, which this script never stops; Microsoft documents no way to stop it that this' +
            ' script could take. See section 6 of the guide.'
    }
    if (-not $advice) { $advice += 'See section 6 of the guide.' }
    $advice
}

# Runs the program with no input, its output and error into one file, so that
# its lines and those of net and ren keep the console's order. The command
# line goes to cmd as it is written here, whatever PowerShell's own quoting.
# chcp first, into a file of its own, tells the console's code page, in which
# cmd and net write.
function Start-QuarvaneProgram([string]$Output, [string]$CodePageFile) {
    $start = New-Object System.Diagnostics.ProcessStartInfo
    $start.UseShellExecute = $false
    $start.FileName = Join-Path $env:windir 'System32\cmd.exe'
    $chcp = Join-Path $env:windir 'System32\chcp.com'
    $start.Arguments = "/d /c `"`"$chcp`" >`"$CodePageFile`" & `"$QuarvanePath`" <NUL >`"$Output`" 2>&1`""
    $process = [System.Diagnostics.Process]::Start($start)
    $process.WaitForExit()
    $process.ExitCode
}

# The system's OEM code page, in which a console starts. Read before the
# program runs: under Wine, where the tests run it, each process that starts
# rewrites it with its own.
function Get-SystemOemCodePage {
    $nls = Get-ItemProperty -LiteralPath 'HKLM:\SYSTEM\CurrentControlSet\Control\Nls\CodePage' -ErrorAction SilentlyContinue
    if ($nls -and $nls.PSObject.Properties['OEMCP']) { return [int]$nls.OEMCP }
    [Globalization.CultureInfo]::InstalledUICulture.TextInfo.OEMCodePage
}

# The code page that chcp reported (its last number), or, where it had no
# console to ask (it says 0), the one given.
function Get-OutputEncoding([string]$CodePageFile, [int]$Otherwise) {
    $codePage = 0
    if (Test-Path -LiteralPath $CodePageFile) {
        $numbers = @([regex]::Matches([System.IO.File]::ReadAllText($CodePageFile), '\d+'))
        if ($numbers) { $codePage = [int]$numbers[-1].Value }
        Remove-Item -LiteralPath $CodePageFile
    }
    if ($codePage -eq 0) { $codePage = $Otherwise }
    [System.Text.Encoding]::GetEncoding($codePage)
}

# The program's lines, read in the console's code page, and its status.
function Invoke-QuarvaneProgram {
    $output = "$script:Log.output"
    $codePageFile = "$script:Log.codepage"
    $systemCodePage = Get-SystemOemCodePage
    $script:Changed = $true
    $status = Start-QuarvaneProgram $output $codePageFile
    $encoding = Get-OutputEncoding $codePageFile $systemCodePage
    $lines = @()
    if (Test-Path -LiteralPath $output) {
        $lines = @([System.IO.File]::ReadAllLines($output, $encoding))
        Remove-Item -LiteralPath $output
    }
    @{ Lines = $lines; Status = $status }
}

# The exit code for the program's output and status: whether it started, and
# whether it changed anything before it failed.
function Get-RunVerdict($Run) {
    $lines = @($Run.Lines | Where-Object { $_ -ne '' })
    if ($lines.Count -eq 0 -or $lines[0] -cne $Banner) {
        return @{ Code = $ExitNothingChanged; Reason = "Quarvane.exe did not start (exit status $($Run.Status)): nothing was changed." }
    }
    if ($lines -ceq $FailedLine) {
        return @{ Code = $ExitNothingChanged; Reason = "${FailedLine}: the stop of Cryptographic Services failed, and nothing was changed." }
    }
    if ($Run.Status -eq 0 -and $lines[-1] -ceq $SucceededLine -and -not ($lines -clike "$CommandFailedPrefix*")) {
        return @{ Code = $ExitSucceeded; Reason = 'The run fully succeeded.' }
    }
    @{ Code = $ExitChangedThenFailed; Reason = 'The run changed the machine and then failed: see the lines above.' }
}

# Stops the dependents, runs the program, starts them again.
function Invoke-Repair {
    $oldBefore = @(Get-OldFolder)
    Write-FolderList '.old folders before:' $oldBefore
    $dependents = @(Get-Service -Name CryptSvc -DependentServices | Where-Object { "$($_.Status)" -eq 'Running' })
    $drivers = @($dependents | Where-Object { Test-Driver $_ })
    foreach ($driver in $drivers) {
        Write-RunLog "Left alone: $($driver.Name), a driver that depends on Cryptographic Services (this script never stops a driver)."
    }
    $stop = Stop-Dependent @($dependents | Where-Object { -not (Test-Driver $_) })
    if ($stop.Refusal) {
        Write-RunLog $stop.Refusal
        Write-RunLog (Get-RefusalAdvice $stop.Refusal $drivers)
        if (-not (Start-Dependent $stop.Stopped)) {
            Write-RunLog 'A dependent service did not start again: the machine is not as it was. Quarvane.exe did not run.'
            return $ExitChangedThenFailed
        }
        Write-RunLog 'Quarvane.exe did not run, and every service this run stopped runs again: nothing was changed.'
        return $ExitNothingChanged
    }
    try {
        try {
            $run = Invoke-QuarvaneProgram
        } catch {
            $run = @{ Lines = @(); Status = "none: $(Get-ErrorText $_)" }
        }
        Write-RunLog (@('--- Quarvane.exe ---') + $run.Lines + '---')
        $verdict = Get-RunVerdict $run
    } finally {
        $dependentsRunning = Start-Dependent $stop.Stopped
    }
    $oldAfter = @(Get-OldFolder)
    Write-FolderList '.old folders after:' $oldAfter
    Write-FolderList 'Renamed by this run (the list for the way back):' @($oldAfter | Where-Object { $oldBefore -cnotcontains $_ })
    Write-RunLog $verdict.Reason
    if ($verdict.Code -ne $ExitChangedThenFailed -and -not $dependentsRunning) {
        Write-RunLog 'A dependent service did not start again: the machine is not as it was.'
        return $ExitChangedThenFailed
    }
    $verdict.Code
}

# The repair under the machine-wide lock; an earlier run that died holding
# it let it go.
function Invoke-LockedRepair {
    $lock = New-Object System.Threading.Mutex($false, $LockName)
    try {
        try {
            $held = $lock.WaitOne(0)
        } catch [System.Threading.AbandonedMutexException] {
            $held = $true
            Write-RunLog "An earlier run ended without letting go of the lock ${LockName}; this run takes it."
        }
        if (-not $held) {
            Write-RunLog "Another Quarvane run holds the lock ${LockName}: this one ran nothing and changed nothing."
            return $ExitNothingChanged
        }
        try {
            Invoke-Repair
        } finally {
            $lock.ReleaseMutex()
        }
    } finally {
        $lock.Dispose()
    }
}

function Invoke-QuarvaneRun {
    if (-not (Test-Elevated)) {
        Write-RunLog ('Invoke-Quarvane.ps1 is not elevated: its token is not in the Administrators role (a prompt' +
            ' not run as administrator, or a local administrator''s remote session, which UAC filters).' +
            ' Run it elevated or as SYSTEM. Nothing was changed.')
        return $ExitNothingChanged
    }
    try {
        $strays = @(Get-CatalogStray $Catroot)
    } catch {
        Write-RunLog "$Catroot cannot be listed, so Quarvane would rename nothing in it: $(Get-ErrorText $_)"
        $strays = @()
    }
    if ($strays.Count -eq 0) {
        Write-RunLog "No stray folder in ${Catroot}: nothing touched."
        Write-RunLog $NothingToDoLine
        return $ExitSucceeded
    }
    try {
        $script:Log = New-RunLog
    } catch {
        Write-RunLog "No log can be made in ${LogFolder}: $(Get-ErrorText $_). Nothing was changed."
        return $ExitNothingChanged
    }
    Write-RunLog "Quarvane run on $env:COMPUTERNAME at $((Get-Date).ToString('u')), PowerShell $($PSVersionTable.PSVersion)"
    Write-FolderList 'Stray folders:' @($strays | ForEach-Object Name)
    $blocked = @($strays | Where-Object OldNameTaken | ForEach-Object Name)
    if ($blocked) {
        Write-FolderList ('No run can rename these, since each one''s ".old" name is there already; a person must' +
            ' clear them by hand (section 7 of the guide):') $blocked
    }
    if ($blocked.Count -eq $strays.Count) {
        Write-RunLog 'Nothing else to rename, so no service was touched and Quarvane.exe did not run. Nothing was changed.'
        return $ExitNothingChanged
    }
    Invoke-LockedRepair
}

# The whole run, with its exit code; every error that ends it exits 1 once
# the machine may have changed, and 2 before.
function Invoke-QuarvaneScript {
    try {
        $code = Invoke-QuarvaneRun
    } catch {
        $code = if ($script:Changed) { $ExitChangedThenFailed } else { $ExitNothingChanged }
        $what = if ($script:Changed) { 'the machine may not be as it was' } else { 'nothing was changed' }
        Write-RunLog "The run stopped on an error: $(Get-ErrorText $_) ($what)."
    }
    if ($script:Log) {
        Write-RunLog "Exit code $code. Log: $script:Log"
        try { Remove-OldRunLog } catch { Write-RunLog "Old logs were not removed: $(Get-ErrorText $_)" }
    }
    $code
}

# Dot-sourced (by the tests), it only defines the functions above.
if ($MyInvocation.InvocationName -ne '.') {
    exit (Invoke-QuarvaneScript)
}
