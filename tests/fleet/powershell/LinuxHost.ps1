# The run script in PowerShell on Linux, for the tests: dot-sources
# Invoke-Quarvane.ps1 with the parameters given, replaces the two parts that
# only Windows has, and runs it as Windows would, with its exit code.
#   LinuxHost.ps1 [Invoke-Quarvane.ps1's parameters]
# The script is $env:QUARVANE_TEST_RUN_SCRIPT where that is set (the play's
# copy on a stand-in host), else the source's.
$runScript = $env:QUARVANE_TEST_RUN_SCRIPT
if (-not $runScript) { $runScript = Join-Path $PSScriptRoot '../../../deploy/Invoke-Quarvane.ps1' }
. $runScript @args
# A script that exits before its functions (in ConstrainedLanguage mode) ends here.
if (-not (Get-Command Invoke-QuarvaneScript -ErrorAction SilentlyContinue)) { exit $LASTEXITCODE }

# Elevated, on Linux, is root.
function Test-Elevated { [Environment]::IsPrivilegedProcess }

# The program through sh, as cmd runs it on Windows: no input, its output and
# error into one file. With no console, no code page is written: the system's
# OEM one stands.
function Start-QuarvaneProgram([string]$Output, [string]$CodePageFile) {
    $start = New-Object System.Diagnostics.ProcessStartInfo
    $start.UseShellExecute = $false
    $start.FileName = '/bin/sh'
    foreach ($argument in '-c', 'exec "$0" </dev/null >"$1" 2>&1', $QuarvanePath, $Output) {
        $start.ArgumentList.Add($argument)
    }
    $process = [System.Diagnostics.Process]::Start($start)
    $process.WaitForExit()
    $process.ExitCode
}

exit (Invoke-QuarvaneScript)
