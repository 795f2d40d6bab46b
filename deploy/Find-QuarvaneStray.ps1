<#
.SYNOPSIS
Lists the stray catalog folders that Quarvane.exe would rename, and changes
nothing.

.DESCRIPTION
A folder in catroot is stray when its name is a GUID in braces, it is not one
of the eight identifiers Windows keeps there (in any case of letters), and it
is empty, hidden and system entries counted. A folder that cannot be listed
is not known to be empty and is left alone, as Quarvane.exe leaves it; so is
every file.

It reads only: nothing is renamed, stopped or written.

.PARAMETER Catroot
The catalog folder; by default %windir%\System32\catroot. On 64-bit Windows
that path reaches the real catroot from 32-bit PowerShell too, since Windows
does not redirect it.

.OUTPUTS
With no stray folder, one line that says so. Otherwise the full path of each
stray folder, one a line.

.NOTES
Exit codes, in the form detection rules read:
  0  no stray folder: nothing for Quarvane to do (the repair is "installed")
  1  stray folders found: Quarvane should run

.EXAMPLE
powershell.exe -NoProfile -ExecutionPolicy Bypass -File Find-QuarvaneStray.ps1
#>
[CmdletBinding()]
param(
    [string]$Catroot = (Join-Path $env:windir 'System32\catroot')
)
Set-StrictMode -Version 3.0

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

function Get-QuarvaneStray {
    [CmdletBinding()]
    param([Parameter(Mandatory)][string]$Catroot)
    try {
        $folders = [System.IO.Directory]::GetDirectories($Catroot)
    } catch {
        Write-Warning "$Catroot cannot be listed, so Quarvane would rename nothing in it: $($_.Exception.Message)"
        return
    }
    foreach ($folder in $folders) {
        $name = [System.IO.Path]::GetFileName($folder)
        if ((Test-GuidShapedName $name) -and -not (Test-ReservedCatalogId $name) -and
            (Test-EmptyFolder $folder)) {
            $folder
        }
    }
}

# Dot-sourced (by Invoke-Quarvane.ps1), it only defines the functions above.
if ($MyInvocation.InvocationName -ne '.') {
    $strays = @(Get-QuarvaneStray -Catroot $Catroot)
    if ($strays.Count -eq 0) {
        "No stray folder in ${Catroot}: nothing for Quarvane to do."
        exit 0
    }
    $strays
    exit 1
}
