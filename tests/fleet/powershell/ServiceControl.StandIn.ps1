# Dot-sourced: service control as Windows documents it, for the run script's
# tests on Linux, where the service cmdlets are missing. The services that
# depend on Cryptographic Services are lines of $env:QUARVANE_TEST_SERVICES,
#   NAME STATUS [TYPE [DEPENDS_ON [FLAGS]]]
# TYPE as ServiceController.ServiceType names it (Win32ShareProcess when left
# out, KernelDriver for a driver), DEPENDS_ON the one service it depends on
# (CryptSvc when left out), FLAGS a comma-separated list of: protected (a stop
# is refused with access denied, as Windows refuses an unprotected process),
# hangs-stop and hangs-start (the service stays pending), no-start (it fails
# to start). The stand-in net (tests/fixtures/net) reads the same file. Each
# stop and start asked for is appended to $env:NET_LOG.

function Read-StandInService {
    $file = $env:QUARVANE_TEST_SERVICES
    if (-not $file -or -not (Test-Path -LiteralPath $file)) { return }
    foreach ($line in Get-Content -LiteralPath $file) {
        $fields = @(-split $line) + @($null, $null, $null, $null)
        [pscustomobject]@{
            Name      = $fields[0]
            Status    = $fields[1]
            Type      = if ($fields[2]) { $fields[2] } else { 'Win32ShareProcess' }
            DependsOn = if ($fields[3]) { $fields[3] } else { 'CryptSvc' }
            Flags     = @("$($fields[4])" -split ',')
        }
    }
}

function Set-StandInStatus([string]$Name, [string]$Status) {
    $file = $env:QUARVANE_TEST_SERVICES
    (Get-Content -LiteralPath $file) | ForEach-Object {
        $fields = -split $_
        if ($fields[0] -eq $Name) { $fields[1] = $Status }
        $fields -join ' '
    } | Set-Content -LiteralPath $file
}

function Add-StandInJournal([string]$Line) { if ($env:NET_LOG) { Add-Content -LiteralPath $env:NET_LOG $Line } }

# Everything that depends on Name, directly or not, drivers included, each
# before what it depends on: the order in which Windows lists them to stop.
function Get-StandInDependent([object[]]$All, [string]$Name) {
    foreach ($service in @($All | Where-Object DependsOn -eq $Name)) {
        Get-StandInDependent $All $service.Name
        $service
    }
}

function New-StandInController($Service) {
    $controller = [pscustomobject]@{
        Name        = $Service.Name
        DisplayName = "$($Service.Name) (stand-in)"
        Status      = $Service.Status
        ServiceType = $Service.Type
    }
    $controller | Add-Member ScriptMethod Start { Start-StandInService $this.Name }
    $controller
}

function Get-Service {
    param([string]$Name, [switch]$DependentServices)
    $all = @(Read-StandInService)
    if ($DependentServices) {
        return Get-StandInDependent $all $Name | ForEach-Object { New-StandInController $_ }
    }
    $service = $all | Where-Object Name -eq $Name
    if (-not $service) { throw "Cannot find any service with service name '$Name'." }
    New-StandInController $service
}

# An error as the service manager's answer reaches PowerShell: Windows' code
# and text inside the controller's error.
function New-ServiceError([string]$Message, [int]$Code, [string]$Answer) {
    New-Object System.InvalidOperationException($Message, (New-Object System.ComponentModel.Win32Exception($Code, $Answer)))
}

# As Stop-Service: refuses, without -Force, a service that something running
# depends on; the service manager refuses a protected service; without
# -NoWait it waits as long as the service is pending.
function Stop-Service {
    param([string]$Name, [switch]$NoWait, [switch]$Force)
    Add-StandInJournal "service stop $Name"
    $all = @(Read-StandInService)
    $service = $all | Where-Object Name -eq $Name
    if (@($all | Where-Object { $_.DependsOn -eq $Name -and $_.Status -ne 'Stopped' }) -and -not $Force) {
        throw "Cannot stop service '$Name' because it has dependent services. It can only be stopped if the Force flag is set."
    }
    if ($service.Flags -contains 'protected') {
        $answer = New-ServiceError "Cannot stop $Name service on computer '.'." 5 'Access is denied.'
        throw (New-Object System.InvalidOperationException(
            "Service '$Name' cannot be stopped due to the following error: $($answer.Message)", $answer))
    }
    if ($service.Flags -contains 'hangs-stop') {
        Set-StandInStatus $Name StopPending
        while (-not $NoWait) { Start-Sleep 1 }
        return
    }
    Set-StandInStatus $Name Stopped
}

# As ServiceController.Start: returns once the service manager has started
# the service's process, not when the service runs.
function Start-StandInService([string]$Name) {
    Add-StandInJournal "service start $Name"
    $service = Read-StandInService | Where-Object Name -eq $Name
    if ($service.Status -ne 'Stopped') {
        throw (New-ServiceError "Cannot start service $Name on computer '.'." 1056 'An instance of the service is already running.')
    }
    if ($service.Flags -contains 'no-start') {
        throw (New-ServiceError "Cannot start service $Name on computer '.'." 1053 'The service did not respond to the start or control request in a timely fashion.')
    }
    Set-StandInStatus $Name $(if ($service.Flags -contains 'hangs-start') { 'StartPending' } else { 'Running' })
}
