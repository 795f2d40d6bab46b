# Invoke-Quarvane.ps1 run for real against the Linux build of Quarvane.exe and
# a stand-in net; the service cmdlets that Linux lacks are stood in by
# ServiceControl.StandIn.ps1, which refuses what Windows refuses.
# QUARVANE_PROGRAM names the program, QUARVANE_NET_STAND_IN the stand-in net,
# QUARVANE_PWSH the PowerShell that runs these tests.
BeforeAll {
    $script:RunScript = Resolve-Path "$PSScriptRoot/../../../deploy/Invoke-Quarvane.ps1"
    # Runs it as Windows would, with what Linux lacks in its place.
    $script:RunHost = Resolve-Path "$PSScriptRoot/LinuxHost.ps1"
    $script:Stray = '{1A2B3C4D-0000-4000-8000-00000000000A}'
    $script:Reserved = '{F750E6C3-38EE-11D1-85E5-00C04FC295EE}'
    . "$PSScriptRoot/ServiceControl.StandIn.ps1"

    # A machine: its catroot, a net on PATH whose calls, like the services',
    # go to one journal, its services, and a log folder.
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
        $env:QUARVANE_TEST_SERVICES = Join-Path $System 'services'
        $env:NET_STOP_EXIT = $env:NET_START_EXIT = $null
        New-Item -ItemType File $Journal, $env:QUARVANE_TEST_SERVICES | Out-Null
    }

    function Add-Folder([string]$Name) { New-Item -ItemType Directory (Join-Path $Catroot $Name) | Out-Null }

    # Services that depend on Cryptographic Services, as lines of the stand-in.
    function Set-Service([string[]]$Line) { Set-Content $env:QUARVANE_TEST_SERVICES $Line }
    function Get-ServiceLine { @(Get-Content $env:QUARVANE_TEST_SERVICES) }

    function Invoke-Run([string]$Program = $env:QUARVANE_PROGRAM, [int]$KeepLogs = 30, [string]$LogFolder = $Logs) {
        & $RunHost -QuarvanePath $Program -LogFolder $LogFolder -Catroot $Catroot -KeepLogs $KeepLogs `
            -ServiceTimeoutSeconds 1 6>$null | Out-Null
        $LASTEXITCODE
    }

    function Get-Journal { @(Get-Content $Journal) }
    function Get-RunLog { @(Get-ChildItem $Logs -Filter 'quarvane-*.log') }
    function Get-RunLogText { Get-Content -Raw (Get-RunLog | Select-Object -First 1).FullName }
    function Get-Entry { @(Get-ChildItem $Catroot | ForEach-Object Name | Sort-Object) }

    $script:OriginalPath = $env:PATH
}

AfterAll { $env:PATH = $script:OriginalPath }

Describe 'Invoke-Quarvane.ps1' {
    BeforeEach { New-Machine }

    Context 'with nothing it can rename' {
        It 'exits 0 and touches no service, folder or log where there is no stray folder' {
            Add-Folder $Reserved
            Add-Folder "$Stray.old"
            Set-Service 'AppIDSvc Running'
            $output = & $RunHost -QuarvanePath $env:QUARVANE_PROGRAM -LogFolder $Logs -Catroot $Catroot 6>&1
            $LASTEXITCODE | Should -Be 0
            "$($output[-1])" | Should -BeExactly 'Outcome: nothing to do.'
            Get-Journal | Should -BeNullOrEmpty
            Test-Path $Logs | Should -BeFalse
        }

        It 'exits 2, touching no service, where every stray folder''s .old name is taken' {
            Add-Folder $Stray
            Add-Folder "$Stray.old"
            Set-Service 'AppIDSvc Running'
            Invoke-Run | Should -Be 2
            Get-Journal | Should -BeNullOrEmpty
            Get-RunLogText | Should -Match ([regex]::Escape("a person must clear them by hand (section 7 of the guide):`r`n  $Stray`r`n"))
        }
    }

    Context 'with a stray folder and a running dependent' {
        BeforeEach {
            Add-Folder $Stray
            Set-Service 'AppIDSvc Running', 'IdleSvc Stopped'
        }

        It 'stops the dependent first, starts it again last, and exits 0 on success' {
            Invoke-Run | Should -Be 0
            Get-Journal | Should -Be @('service stop AppIDSvc', 'net stop cryptsvc', 'net start cryptsvc', 'service start AppIDSvc')
            Get-Entry | Should -Be @("$Stray.old")
            Get-ServiceLine | Should -Be @('AppIDSvc Running', 'IdleSvc Stopped')
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
            $other = '{1A2B3C4D-0000-4000-8000-00000000000B}'
            Add-Folder $other
            Add-Folder "$other.old"
            Invoke-Run | Should -Be 1
            Get-RunLogText | Should -Match 'Command: ren .* failed!'
            Get-RunLogText | Should -Match 'Renamed by this run[^\r\n]*\r\n  \{1A2B3C4D-0000-4000-8000-00000000000A\}\.old\r\n[^ ]'
            (Get-Journal)[-1] | Should -Be 'service start AppIDSvc'
        }

        It 'exits 2 when the stop fails, and still starts the dependent again' {
            $env:NET_STOP_EXIT = 2
            Invoke-Run | Should -Be 2
            Get-Journal | Should -Be @('service stop AppIDSvc', 'net stop cryptsvc', 'service start AppIDSvc')
            Get-Entry | Should -Be @($Stray)
        }

        It 'exits 1, not 2, when the dependent does not start again after a run that changed nothing' {
            $env:NET_STOP_EXIT = 2
            Set-Service 'AppIDSvc Running Win32ShareProcess CryptSvc no-start'
            Invoke-Run | Should -Be 1
            Get-RunLogText | Should -Match 'Could not start AppIDSvc again: The service did not respond .*\(error 1053\)'
        }

        It 'exits 2 when the program cannot start' {
            Invoke-Run -Program (Join-Path $System 'Quarvane.exe') | Should -Be 2
            Get-RunLogText | Should -Match 'Quarvane\.exe did not start'
            Get-Journal | Should -Be @('service stop AppIDSvc', 'service start AppIDSvc')
        }
    }

    Context 'where Windows will not stop a dependent' {
        BeforeEach { Add-Folder $Stray }

        It 'never stops a driver, and exits 2 where a running driver keeps its service from stopping' {
            # As where AppLocker is enforced: its filter driver depends on AppIDSvc.
            Set-Service 'OtherSvc Running', 'AppIDSvc Running', 'applockerfltr Running KernelDriver AppIDSvc'
            Invoke-Run | Should -Be 2
            Get-Journal | Should -Be @('service stop OtherSvc', 'service stop AppIDSvc', 'service start OtherSvc')
            Get-ServiceLine | Should -Be @('OtherSvc Running', 'AppIDSvc Running', 'applockerfltr Running KernelDriver AppIDSvc')
            Get-RunLogText | Should -Match 'Could not stop AppIDSvc: Cannot stop service .AppIDSvc. because it has dependent services'
            Get-RunLogText | Should -Match 'applockerfltr, a driver, which this script never stops'
            Get-Entry | Should -Be @($Stray)
        }

        It 'exits 2 with Windows'' answer where the service is protected, starting again those it stopped' {
            Set-Service 'OtherSvc Running', 'AppIDSvc Running Win32ShareProcess CryptSvc protected'
            Invoke-Run | Should -Be 2
            Get-Journal | Should -Be @('service stop OtherSvc', 'service stop AppIDSvc', 'service start OtherSvc')
            Get-RunLogText | Should -Match 'Could not stop AppIDSvc: Access is denied\. \(error 5\)'
            Get-RunLogText | Should -Match 'Microsoft documents no\s+way'
        }

        It 'exits 1 where one it stopped does not start again after the refusal' {
            Set-Service 'OtherSvc Running Win32ShareProcess CryptSvc no-start', 'AppIDSvc Running Win32ShareProcess CryptSvc protected'
            Invoke-Run | Should -Be 1
            Get-RunLogText | Should -Match 'Could not start OtherSvc again'
        }

        It 'gives up on a stop that stays pending past the bound, and exits 2' {
            Set-Service 'OtherSvc Running', 'AppIDSvc Running Win32ShareProcess CryptSvc hangs-stop'
            $clock = [Diagnostics.Stopwatch]::StartNew()
            Invoke-Run | Should -Be 2
            $clock.Elapsed.TotalSeconds | Should -BeLessThan 20
            Get-RunLogText | Should -Match 'AppIDSvc did not stop within 1 seconds \(it is StopPending\)'
            Get-Entry | Should -Be @($Stray)
        }

        It 'gives up on a start that stays pending past the bound, and exits 1' {
            Set-Service 'AppIDSvc Running Win32ShareProcess CryptSvc hangs-start'
            Invoke-Run | Should -Be 1
            Get-RunLogText | Should -Match 'AppIDSvc did not start again within 1 seconds \(it is StartPending\)'
        }
    }

    Context 'when it fails before it changes anything' {
        BeforeEach { Add-Folder $Stray }

        It 'exits 2 where no log can be made' {
            Set-Content (Join-Path $System 'file') 'a file, not a folder'
            Invoke-Run -LogFolder (Join-Path $System 'file/Logs') | Should -Be 2
            Get-Journal | Should -BeNullOrEmpty
        }

        It 'exits 2 where the lock cannot be made' {
            Mock New-Object { throw 'Access to the path is denied.' } -ParameterFilter { $TypeName -eq 'System.Threading.Mutex' }
            Invoke-Run | Should -Be 2
            Get-RunLogText | Should -Match 'The run stopped on an error: Access to the path is denied\. \(nothing was changed\)'
            Get-Journal | Should -BeNullOrEmpty
        }

        It 'exits 2 and runs nothing where it is not elevated' {
            $env:HOME = $TestDrive
            # Not root, in a user namespace that keeps the clone reachable.
            $output = & unshare --user --map-user=1000 --map-group=1000 $env:QUARVANE_PWSH -NoProfile -NonInteractive -File $RunHost `
                -QuarvanePath $env:QUARVANE_PROGRAM -LogFolder $Logs -Catroot $Catroot
            $LASTEXITCODE | Should -Be 2
            "$output" | Should -Match 'is not elevated'
            Get-Entry | Should -Be @($Stray)
        }

        It 'exits 2 and runs nothing where application control leaves it in ConstrainedLanguage mode' {
            $run = "`$ExecutionContext.SessionState.LanguageMode = 'ConstrainedLanguage'; & '$RunHost'" +
                " -QuarvanePath '$env:QUARVANE_PROGRAM' -LogFolder '$Logs' -Catroot '$Catroot'; exit `$LASTEXITCODE"
            $output = & $env:QUARVANE_PWSH -NoProfile -NonInteractive -Command $run
            $LASTEXITCODE | Should -Be 2
            $output | Should -Match 'runs in ConstrainedLanguage mode'
            Get-Journal | Should -BeNullOrEmpty
            Get-Entry | Should -Be @($Stray)
        }
    }

    It 'reads what the commands print as the OEM code page' {
        Add-Folder $Stray
        # "ê" and "é" in code page 437.
        Set-Content (Join-Path $System 'bin/net') "#!/bin/sh`nprintf 'Le service est arr\210t\202.\r\n'" -NoNewline
        Invoke-Run | Should -Be 0
        Get-RunLogText | Should -Match 'Le service est arrêté\.'
    }

    It 'gives two runs in the same second a log each' {
        Mock Get-Date { [datetime]'2026-12-11T10:00:00' }
        Add-Folder $Stray
        Invoke-Run | Should -Be 0
        Add-Folder $Stray.Replace('0A}', '0B}')
        Invoke-Run | Should -Be 0
        @(Get-RunLog).Count | Should -Be 2
    }

    It 'keeps the newest logs, this run''s among them, and removes the rest' {
        Add-Folder $Stray
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

    Context 'the machine-wide lock' {
        BeforeAll {
            # Another PowerShell takes the lock (left behind by a test before or
        # not), then runs Then.
            function Start-LockHolder([string]$Then) {
                $holder = Start-Process -PassThru $env:QUARVANE_PWSH -ArgumentList '-NoProfile', '-Command',
                    "`$m = [System.Threading.Mutex]::new(`$false, 'Global\Quarvane-run'); try { [void]`$m.WaitOne() } catch [Threading.AbandonedMutexException] {}; New-Item '$Ready' | Out-Null; $Then"
                $waited = [Diagnostics.Stopwatch]::StartNew()
                while (-not (Test-Path $Ready)) {
                    $waited.Elapsed.TotalSeconds | Should -BeLessThan 20 -Because 'the other run takes the lock'
                    Start-Sleep -Milliseconds 100
                }
                $holder
            }
        }

        BeforeEach {
            Add-Folder $Stray
            $script:Ready = Join-Path $System 'locked'
        }

        It 'exits 2 and runs nothing while another run holds it' {
            # Held while the file is there: the pwsh started may be a launcher
            # whose end would not end the PowerShell holding the lock.
            $hold = Join-Path $System 'hold'
            New-Item $hold | Out-Null
            $holder = Start-LockHolder "while (Test-Path '$hold') { Start-Sleep -Milliseconds 100 }"
            try {
                Invoke-Run | Should -Be 2
                Get-RunLogText | Should -Match 'Another Quarvane run holds the lock'
                Get-Journal | Should -BeNullOrEmpty
                Get-Entry | Should -Be @($Stray)
            } finally {
                Remove-Item $hold
                $holder.WaitForExit()
            }
        }

        It 'takes a lock that a run which died left behind' {
            $holder = Start-LockHolder 'exit 0'
            $holder.WaitForExit()
            Invoke-Run | Should -Be 0
            Get-Entry | Should -Be @("$Stray.old")
        }
    }
}

# The program's lines as the script knows them (the contract test holds them
# to the program's own), read when the cases are found.
BeforeDiscovery {
    . "$PSScriptRoot/../../../deploy/Invoke-Quarvane.ps1" -QuarvanePath none -LogFolder none -Catroot none
    $Related = 'Related issue : BUG-76393 and BUG-76439.'
}

Describe 'Get-RunVerdict, the rule for the program''s lines' {
    BeforeAll {
        . $RunScript -QuarvanePath none -LogFolder none -Catroot none
    }

    It 'gives <Code> where <Case>' -ForEach @(
        @{ Case = 'the run fully succeeded'; Code = 0; Status = 0
           Lines = @($Banner, $Related, 'The cryptsvc service was stopped successfully.', $SucceededLine) }
        @{ Case = 'blank lines come first'; Code = 0; Status = 0; Lines = @('', $Banner, $Related, $SucceededLine) }
        @{ Case = 'nothing was printed'; Code = 2; Status = 1; Lines = @() }
        @{ Case = 'another program answered'; Code = 2; Status = 0; Lines = @('never ran', $SucceededLine) }
        @{ Case = 'the stop failed'; Code = 2; Status = 0; Lines = @($Banner, $Related, $FailedLine) }
        @{ Case = 'a command failed'; Code = 1; Status = 0
           Lines = @($Banner, $Related, "${CommandFailedPrefix}ren C:\x {A} {A}.old failed!", $SucceededLine) }
        @{ Case = 'the program ended early'; Code = 1; Status = 0; Lines = @($Banner, $Related, 'The cryptsvc service was stopped successfully.') }
        @{ Case = 'the status was not 0'; Code = 1; Status = 3; Lines = @($Banner, $Related, $SucceededLine) }
        @{ Case = 'the last line differs in case only'; Code = 1; Status = 0; Lines = @($Banner, $Related, $SucceededLine.ToUpperInvariant()) }
    ) {
        (Get-RunVerdict @{ Lines = $Lines; Status = $Status }).Code | Should -Be $Code
    }
}
