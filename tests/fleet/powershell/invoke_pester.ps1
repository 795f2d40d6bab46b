# Runs the Pester test files given, with the module that run_pester.sh found.
$ErrorActionPreference = 'Stop'
Import-Module $env:QUARVANE_PESTER -MinimumVersion 5.0
$config = New-PesterConfiguration
$config.Run.Path = $args
$config.Run.Exit = $true
$config.Output.Verbosity = 'Detailed'
Invoke-Pester -Configuration $config
