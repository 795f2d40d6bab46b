# Invoke-Quarvane.ps1 run for real against the Linux build of Quarvane.exe and
# a stand-in net; only the service cmdlets that Linux lacks are Pester mocks.
# QUARVANE_PROGRAM names the program, QUARVANE_NET_STAND_IN the stand-in net,
# QUARVANE_PWSH the PowerShell that runs these tests.
BeforeAll {
    $script:RunScript = Resolve-Path "$PSScriptRoot/../../deploy/Invoke-Quarvane.ps1"
    $script:Stray = '{1A2B3C4D-0000-4000-8000-00000000000A}'
    $script:Reserved = '{F750E6C3-38EE-11D1-85E5-00C04FC295EE}'

    # Windows-only cmdlets, to be mocked.
    function Get-Service { param($Name, [switch]$DependentServices) }
    function Stop-Service { param($Name) }
    function Start-Service { param($Name) }

    # A machine: its catroot, a net on PATH whose calls, like the services',
    # go to one journal, and a log folder.
    function New-Machine {
        $script:System = Join-Path $TestDrive ([guid]::NewGuid())
        $script:Catroot = Join-Path $System 'catroot'
        $script:Logs = Join-Path $System 'Logs'
        $script:Journal = Join-Path $System 'journal'
        $bin = Join-Path $System 'bin'
        New-Item -ItemType Directory $Catroot, $bin | Out-Null
        Copy-Item $env:QUARVANE_NET_STAND_IN (Join-Path $bin 'net')
        $env:PATH = "${bin}:$script:OriginalPath"
        $env:QUARVANE_SYSTEM_DIR = $System
        $env:NET_LOG = $Journal
        $env:NET_STOP_EXIT = $env:NET_START_EXIT = $null
        New-Item -ItemType File $Journal | Out-Null
    }

    function Add-Folder([string]$Name) { New-Item -ItemType Directory (Join-Path $Catroot $Name) | Out-Null }

    function Set-Service([object[]]$Dependents) {
        Mock Get-Service { $Dependents }.GetNewClosure()
        Mock Stop-Service { Add-Content $env:NET_LOG "Stop-Service $Name" }
        Mock Start-Service { Add-Content $env:NET_LOG "Start-Service $Name" }
    }

    function Invoke-Run([string]$Program = $env:QUARVANE_PROGRAM, [int]$KeepLogs = 30) {
        & $RunScript -QuarvanePath $Program -LogFolder $Logs -Catroot $Catroot -KeepLogs $KeepLogs 6>$null | Out-Null
        $LASTEXITCODE
    }

    function Get-Journal { @(Get-Content $Journal) }
    function Get-RunLogText { Get-Content -Raw (Get-ChildItem $Logs -Filter 'quarvane-*.log' | Select-Object -First 1).FullName }
    function Get-Entry { @(Get-ChildItem $Catroot | ForEach-Object Name | Sort-Object) }

    $script:OriginalPath = $env:PATH
    $script:AppId = [pscustomobject]@{ Name = 'AppIDSvc'; DisplayName = 'Application Identity'; Status = 'Running' }
    $script:Idle = [pscustomobject]@{ Name = 'IdleSvc'; DisplayName = 'Stopped dependent'; Status = 'Stopped' }
}

AfterAll { $env:PATH = $script:OriginalPath }

Describe 'Invoke-Quarvane.ps1' {
    BeforeEach { New-Machine }

    Context 'with no stray folder' {
        It 'exits 0 and touches no service, folder or log' {
            Add-Folder $Reserved
            Add-Folder "$Stray.old"
            Set-Service @($AppId)
            Invoke-Run | Should -Be 0
            Get-Journal | Should -BeNullOrEmpty
            Should -Invoke Get-Service -Times 0
            Test-Path $Logs | Should -BeFalse
        }
    }

    Context 'with a stray folder and a running dependent' {
        BeforeEach {
            Add-Folder $Stray
            Set-Service @($AppId, $Idle)
        }

        It 'stops the dependent first, starts it again last, and exits 0 on success' {
            Invoke-Run | Should -Be 0
            Get-Journal | Should -Be @('Stop-Service AppIDSvc', 'net stop cryptsvc', 'net start cryptsvc', 'Start-Service AppIDSvc')
            Get-Entry | Should -Be @("$Stray.old")
        }

        It 'logs the program lines in the console order, services and .old folders before and after' {
            $env:NET_START_EXIT = 2
            Invoke-Run | Should -Be 1
            $log = Get-RunLogText
            $log | Should -Match ('(?s)Stopped AppIDSvc.*' +
                'Quarvane\.exe will fix.*stopped successfully\..*could not be started\.\r\nCommand: net start cryptsvc failed!\r\nQuarvane successfully!\r\n' +
                '.*Started AppIDSvc again\.\r\n\.old folders after:\r\n  \{1A2B3C4D-0000-4000-8000-00000000000A\}\.old\r\n')
            $log | Should -Match '\.old folders before:\r\n  \(none\)\r\n'
            $log | Should -Match 'Renamed by this run[^\r\n]*\r\n  \{1A2B3C4D-0000-4000-8000-00000000000A\}\.old\r\n[^ ]'
        }

        It 'exits 1 when a rename fails, and still starts the dependent again' {
            Add-Folder "$Stray.old"
            Invoke-Run | Should -Be 1
            Get-RunLogText | Should -Match 'Command: ren .* failed!'
            Get-RunLogText | Should -Match 'Renamed by this run[^\r\n]*\r\n  \(none\)'
            (Get-Journal)[-1] | Should -Be 'Start-Service AppIDSvc'
        }

        It 'exits 2 when the stop fails, and still starts the dependent again' {
            $env:NET_STOP_EXIT = 2
            Invoke-Run | Should -Be 2
            Get-Journal | Should -Be @('Stop-Service AppIDSvc', 'net stop cryptsvc', 'Start-Service AppIDSvc')
            Get-Entry | Should -Be @($Stray)
        }

        It 'exits 2 when the program cannot start' {
            Invoke-Run -Program (Join-Path $System 'Quarvane.exe') | Should -Be 2
            Get-RunLogText | Should -Match 'Quarvane\.exe did not start'
            Get-Journal | Should -Be @('Stop-Service AppIDSvc', 'Start-Service AppIDSvc')
        }
    }

    It 'exits 2 and runs nothing when a dependent will not stop, starting those it stopped' {
        Add-Folder $Stray
        $other = [pscustomobject]@{ Name = 'OtherSvc'; DisplayName = 'Other'; Status = 'Running' }
        Set-Service @($AppId, $other)
        Mock Stop-Service { throw 'Access is denied.' } -ParameterFilter { $Name -eq 'OtherSvc' }
        Invoke-Run | Should -Be 2
        Get-Journal | Should -Be @('Stop-Service AppIDSvc', 'Start-Service AppIDSvc')
        Get-Entry | Should -Be @($Stray)
    }

    It 'reads what the commands print as the OEM code page' {
        Add-Folder $Stray
        Set-Service @()
        # "ê" and "é" in code page 437.
        Set-Content (Join-Path $System 'bin/net') "#!/bin/sh`nprintf 'Le service est arr\210t\202.\r\n'" -NoNewline
        Invoke-Run | Should -Be 0
        Get-RunLogText | Should -Match 'Le service est arrêté\.'
    }

    It 'keeps the newest logs, this run''s among them, and removes the rest' {
        Add-Folder $Stray
        Set-Service @()
        New-Item -ItemType Directory $Logs | Out-Null
        $old = 1..4 | ForEach-Object {
            $path = Join-Path $Logs "quarvane-2020010$_-000000-0000000$_.log"
            Set-Content $path 'old'
            (Get-Item $path).LastWriteTimeUtc = [datetime]::UtcNow.AddDays(-10 + $_)
            Split-Path -Leaf $path
        }
        Set-Content (Join-Path $Logs 'notes.txt') 'not a log'
        Invoke-Run -KeepLogs 3 | Should -Be 0
        $kept = @(Get-ChildItem $Logs | ForEach-Object Name | Sort-Object)
        $kept.Count | Should -Be 4
        $kept | Should -Contain 'notes.txt'
        $kept | Should -Contain $old[3]
        $kept | Should -Contain $old[2]
    }

    It 'exits 2 and runs nothing where application control leaves it in ConstrainedLanguage mode' {
        Add-Folder $Stray
        $run = "`$ExecutionContext.SessionState.LanguageMode = 'ConstrainedLanguage'; & '$RunScript'" +
            " -QuarvanePath '$env:QUARVANE_PROGRAM' -LogFolder '$Logs' -Catroot '$Catroot'; exit `$LASTEXITCODE"
        $output = & $env:QUARVANE_PWSH -NoProfile -NonInteractive -Command $run
        $LASTEXITCODE | Should -Be 2
        $output | Should -Match 'runs in ConstrainedLanguage mode'
        Get-Journal | Should -BeNullOrEmpty
        Get-Entry | Should -Be @($Stray)
    }

    It 'exits 2 and runs nothing while another run holds the lock' {
        Add-Folder $Stray
        Set-Service @()
        $ready = Join-Path $System 'locked'
        $holder = Start-Process -PassThru $env:QUARVANE_PWSH -ArgumentList '-NoProfile', '-Command',
            "`$m = [System.Threading.Mutex]::new(`$false, 'Global\Quarvane-run'); [void]`$m.WaitOne(); New-Item '$ready' | Out-Null; Start-Sleep 30"
        try {
            $waited = [Diagnostics.Stopwatch]::StartNew()
            while (-not (Test-Path $ready)) {
                $waited.Elapsed.TotalSeconds | Should -BeLessThan 20 -Because 'the other run takes the lock'
                Start-Sleep -Milliseconds 100
            }
            Invoke-Run | Should -Be 2
            Get-RunLogText | Should -Match 'Another Quarvane run holds the lock'
            Get-Journal | Should -BeNullOrEmpty
            Get-Entry | Should -Be @($Stray)
        } finally {
            $holder | Stop-Process
        }
    }
}
