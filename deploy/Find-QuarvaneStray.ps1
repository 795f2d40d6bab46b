<#
.SYNOPSIS
Reports the stray catalog folders, for a person or a report, and changes
nothing.

.DESCRIPTION
A folder in catroot is stray when its name is a GUID in braces, it is not one
of the eight identifiers Windows keeps there (in any case of letters), and it
is empty, hidden and system entries counted. A folder that cannot be listed
is not known to be empty and is left alone, as Quarvane.exe leaves it; so is
every file.

A stray folder whose "<name>.old" is there already cannot be renamed by any
run of Quarvane: its line says so, and a person must clear it (section 7 of
the guide).

It reads only: nothing is renamed, stopped or written. For an Intune Win32
app or a Configuration Manager application, detect with
Test-QuarvaneRepair.ps1 instead: this script's exit code 1 reads there as a
failed detection.

.PARAMETER Catroot
The catalog folder; by default %windir%\System32\catroot. On 64-bit Windows
that path reaches the real catroot from 32-bit PowerShell too, since Windows
does not redirect it.

.OUTPUTS
With no stray folder, one line that says so. Otherwise a line for each stray
folder: its full path, followed, for one no run can rename, by why a person
must act.

.NOTES
Exit codes, as Intune Remediations read a detection script:
  0  no stray folder: nothing to do
  1  stray folders found: the issue is there (Quarvane should run, or a
     person must act where its line says so)

.EXAMPLE
powershell.exe -NoProfile -ExecutionPolicy Bypass -File Find-QuarvaneStray.ps1
#>
[CmdletBinding()]
param(
    [string]$Catroot = (Join-Path $env:windir 'System32\catroot')
)
Set-StrictMode -Version 3.0

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

try {
    $strays = @(Get-CatalogStray $Catroot)
} catch {
    Write-Warning "$Catroot cannot be listed, so Quarvane would rename nothing in it: $($_.Exception.GetBaseException().Message)"
    $strays = @()
}
if ($strays.Count -eq 0) {
    "No stray folder in ${Catroot}: nothing for Quarvane to do."
    exit 0
}
foreach ($stray in $strays) {
    if ($stray.OldNameTaken) {
        "$($stray.Path): no run of Quarvane can rename it, since $($stray.Name).old is there already;" +
        ' a person must act (section 7 of the guide).'
    } else {
        $stray.Path
    }
}
exit 1
