<#
.SYNOPSIS
Detects, for an Intune Win32 app or a Configuration Manager application,
whether Quarvane's repair is installed: whether no run of Quarvane.exe would
rename anything. Changes nothing.

.DESCRIPTION
Both tools read a detection script by its standard output, with exit code 0:
one line on standard output reads as installed; nothing at all on standard
output and standard error reads as not installed, and the tool then runs the
app's install command (Invoke-Quarvane.ps1). So this script:

  - prints one line where no run would rename anything: there is no stray
    folder, catroot cannot be listed, or every stray folder's "<name>.old"
    is there already (a person must clear those: section 7 of the guide;
    running Quarvane again would not);
  - prints nothing at all, to either stream, where a run would rename a
    stray folder.

It always exits 0; any other exit code reads in Configuration Manager as a
failed detection, whatever the output. The rules are those of
Find-QuarvaneStray.ps1, written into this script too, so that it runs alone,
as both tools run it.

.PARAMETER Catroot
The catalog folder; by default %windir%\System32\catroot.

.OUTPUTS
One line, or nothing (see above).

.EXAMPLE
powershell.exe -NoProfile -NonInteractive -ExecutionPolicy Bypass -File Test-QuarvaneRepair.ps1
#>
[CmdletBinding()]
param(
    [string]$Catroot = (Join-Path $env:windir 'System32\catroot')
)
Set-StrictMode -Version 3.0
# Nothing may reach standard error where a run is needed: errors are caught
# and turned into the one line below or into silence.
$ErrorActionPreference = 'Stop'
$ProgressPreference = 'SilentlyContinue'
$WarningPreference = 'SilentlyContinue'

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

# The line that reads as installed, or nothing where a run would rename a
# folder.
function Get-RepairState([string]$Catroot) {
    try {
        $strays = @(Get-CatalogStray $Catroot)
    } catch {
        return "Installed: $Catroot cannot be listed, so no run of Quarvane would rename anything in it ($($_.Exception.GetBaseException().Message))."
    }
    if ($strays.Count -eq 0) {
        return "Installed: no stray folder in $Catroot."
    }
    if (@($strays | Where-Object { -not $_.OldNameTaken }).Count -gt 0) {
        return
    }
    $names = ($strays | ForEach-Object { $_.Name }) -join ', '
    "Installed as far as Quarvane can go: no run of it can rename $names in $Catroot, since each one's" +
    ' ".old" name is there already; a person must act (section 7 of the guide).'
}

$state = Get-RepairState $Catroot
if ($state) { $state }
exit 0
