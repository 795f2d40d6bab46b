# The two detection scripts run as the management tools run them, alone, with
# both output streams captured apart: Test-QuarvaneRepair.ps1 for app
# deployment (exit 0; one line = installed, nothing at all = not installed)
# and Find-QuarvaneStray.ps1 for reports (exit 0 or 1, a line a stray).
# Read when the tests are found as well as when they run.
$Stray = '{1A2B3C4D-0000-4000-8000-00000000000A}'

BeforeAll {
    $script:Deploy = Resolve-Path "$PSScriptRoot/../../../deploy"
    $script:Stray = '{1A2B3C4D-0000-4000-8000-00000000000A}'

    # Runs a script with the tools' own switches, not as root where asked (a
    # user namespace keeps the files reachable wherever the clone lies);
    # returns its exit code and both streams.
    function Invoke-Detection([string]$Script, [string]$Catroot, [switch]$NotRoot) {
        $start = New-Object System.Diagnostics.ProcessStartInfo
        $arguments = @('-NoProfile', '-NonInteractive', '-ExecutionPolicy', 'Bypass', '-File', (Join-Path $Deploy $Script), '-Catroot', $Catroot)
        if ($NotRoot) {
            $start.FileName = 'unshare'
            $arguments = @('--user', '--map-user=1000', '--map-group=1000', $env:QUARVANE_PWSH) + $arguments
        } else {
            $start.FileName = $env:QUARVANE_PWSH
        }
        foreach ($argument in $arguments) { $start.ArgumentList.Add($argument) }
        $start.RedirectStandardOutput = $start.RedirectStandardError = $true
        $start.UseShellExecute = $false
        $start.Environment['HOME'] = $TestDrive
        $process = [System.Diagnostics.Process]::Start($start)
        $stdout = $process.StandardOutput.ReadToEndAsync()
        $stderr = $process.StandardError.ReadToEnd()
        $process.WaitForExit()
        @{ Code = $process.ExitCode; Out = $stdout.Result; Err = $stderr }
    }

    function New-Catroot([string[]]$Folder) {
        $catroot = Join-Path $TestDrive ([guid]::NewGuid())
        New-Item -ItemType Directory $catroot | Out-Null
        foreach ($name in $Folder) { New-Item -ItemType Directory (Join-Path $catroot $name) | Out-Null }
        $catroot
    }
}

Describe 'Test-QuarvaneRepair.ps1' {
    It 'writes nothing at all, and exits 0, where a run would rename <Case>' -ForEach @(
        @{ Case = 'a stray folder'; Folder = @('{F750E6C3-38EE-11D1-85E5-00C04FC295EE}', $Stray) }
        @{ Case = 'a stray folder beside one whose .old name is taken'; Folder = @($Stray, '{2C3D4E5F-2222-4222-8222-222222222212}', '{2C3D4E5F-2222-4222-8222-222222222212}.old') }
        @{ Case = 'a folder named in fullwidth lower-case hex letters'; Folder = @("{1A2B3C4D-0000-4000-8000-00000000000$([char]0xFF41)}") }
    ) {
        $run = Invoke-Detection Test-QuarvaneRepair.ps1 (New-Catroot $Folder)
        $run.Code | Should -Be 0
        $run.Out | Should -BeExactly ''
        $run.Err | Should -BeExactly ''
    }

    It 'prints one line, and exits 0, where <Case>' -ForEach @(
        @{ Case = 'there is no stray folder'; Folder = @('{F750E6C3-38EE-11D1-85E5-00C04FC295EE}', "$Stray.old"); Says = 'no stray folder' }
        @{ Case = 'every stray folder''s .old name is taken'; Folder = @($Stray, "$Stray.old"); Says = "can rename \{1A2B3C4D-0000-4000-8000-00000000000A\} .*a person must act" }
    ) {
        $run = Invoke-Detection Test-QuarvaneRepair.ps1 (New-Catroot $Folder)
        $run.Code | Should -Be 0
        $run.Out | Should -Match "\A[^\n]*$Says[^\n]*\n\z"
        $run.Err | Should -BeExactly ''
    }

    It 'prints one line, and exits 0, where catroot cannot be listed' {
        $run = Invoke-Detection Test-QuarvaneRepair.ps1 (Join-Path $TestDrive 'missing')
        $run.Code | Should -Be 0
        $run.Out | Should -Match '\A[^\n]*cannot be listed[^\n]*\n\z'
        $run.Err | Should -BeExactly ''
    }

    It 'takes a folder that cannot be listed as not empty' {
        $catroot = New-Catroot @($Stray)
        & chmod 000 (Join-Path $catroot $Stray)
        $run = Invoke-Detection Test-QuarvaneRepair.ps1 $catroot -NotRoot
        $run.Out | Should -Match '\A[^\n]*no stray folder[^\n]*\n\z'
        $run.Err | Should -BeExactly ''
    }
}

Describe 'Find-QuarvaneStray.ps1' {
    It 'lists each stray folder, saying for one no run can rename why a person must act, and exits 1' {
        $catroot = New-Catroot @($Stray, '{2C3D4E5F-2222-4222-8222-222222222212}', '{2C3D4E5F-2222-4222-8222-222222222212}.old')
        $run = Invoke-Detection Find-QuarvaneStray.ps1 $catroot
        $run.Code | Should -Be 1
        $lines = @($run.Out.TrimEnd("`n") -split "`n" | Sort-Object)
        $lines[0] | Should -BeExactly (Join-Path $catroot $Stray)
        $lines[1] | Should -Match '222222222212\}: no run of Quarvane can rename it.*a person must act'
        $lines.Count | Should -Be 2
    }

    It 'exits 1 where the only stray folder is one no run can rename' {
        $run = Invoke-Detection Find-QuarvaneStray.ps1 (New-Catroot @($Stray, "$Stray.old"))
        $run.Code | Should -Be 1
        $run.Out | Should -Match 'a person must act'
    }

    It 'prints one line and exits 0 where there is no stray folder' {
        $run = Invoke-Detection Find-QuarvaneStray.ps1 (New-Catroot @("$Stray.old"))
        $run.Code | Should -Be 0
        $run.Out | Should -Match '\ANo stray folder in [^\n]*\n\z'
    }
}
