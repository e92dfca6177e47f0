# Checks Twinfold.exe on a real Windows 10 or 11 machine against what Wine does not do as Windows
# does: links and junctions, which Wine cannot make (a mirror of a folder that holds junctions, one
# looping back to its parent, one whose access rules forbid listing it, as in every user profile,
# and symbolic links must copy each link as a link of the same target, never enter one, and never
# touch what a link leads to); paths past MAX_PATH, which Wine does not refuse (a deep tree, a root
# typed in the long form, a root longer than MAX_PATH, names ending in a dot); and read-only files,
# which Wine lets a rename replace.
#
#   powershell -ExecutionPolicy Bypass -File tests\windows\real-windows-check.ps1 -Exe C:\path\Twinfold.exe
#
# It works in a new folder under %TEMP% and removes it afterwards. It prints one line per check and
# ends with "N passed, M failed"; exit code 0 means every check passed.
param([Parameter(Mandatory = $true)][string]$Exe)
$ErrorActionPreference = 'Stop'
$Exe = (Resolve-Path $Exe).Path
$work = Join-Path $env:TEMP ("twinfold-check-" + [guid]::NewGuid().ToString('N').Substring(0, 8))
$src = Join-Path $work 'src'
$dst = Join-Path $work 'dst'
$outside = Join-Path $work 'outside'
$script:passed = 0
$script:failed = 0

function Check([string]$what, [bool]$ok) {
    if ($ok) { $script:passed++; Write-Host "PASS $what" } else { $script:failed++; Write-Host "FAIL $what" }
}

# Every entry below a folder with its kind, link target or content hash; links are not entered.
function Listing([string]$root) {
    $lines = New-Object System.Collections.Generic.List[string]
    $pending = New-Object System.Collections.Generic.Stack[string]
    $pending.Push($root)
    while ($pending.Count -gt 0) {
        $folder = $pending.Pop()
        foreach ($item in Get-ChildItem -LiteralPath $folder -Force) {
            $relative = $item.FullName.Substring($root.Length)
            if ($item.Attributes -band [IO.FileAttributes]::ReparsePoint) {
                $lines.Add("$relative -> $($item.LinkType) $($item.Target)")
            } elseif ($item.PSIsContainer) {
                $lines.Add("$relative\")
                $pending.Push($item.FullName)
            } else {
                $lines.Add("$relative = $((Get-FileHash -LiteralPath $item.FullName -Algorithm MD5).Hash)")
            }
        }
    }
    ($lines | Sort-Object) -join "`n"
}

function Mirror() {
    $process = Start-Process -FilePath $Exe -ArgumentList @('unattended', "`"SrcDir=$src`"", "`"DstDir=$dst`"") -Wait -PassThru
    $process.ExitCode
}

function MirrorPaths([string]$from, [string]$to) {
    $process = Start-Process -FilePath $Exe -ArgumentList @('unattended', "`"SrcDir=$from`"", "`"DstDir=$to`"") -Wait -PassThru
    $process.ExitCode
}

# Paths past MAX_PATH, and names that the ordinary form changes, are reached in the long form.
function Long([string]$path) { "\\?\$path" }
function WriteLong([string]$path, [string]$text) {
    [IO.Directory]::CreateDirectory((Long ($path.Substring(0, $path.LastIndexOf('\'))))) | Out-Null
    [IO.File]::WriteAllText((Long $path), $text)
}
function ReadLong([string]$path) { if ([IO.File]::Exists((Long $path))) { [IO.File]::ReadAllText((Long $path)) } else { $null } }
function TemporaryLeft([string]$root) {
    @([IO.Directory]::EnumerateFileSystemEntries((Long $root), '.twinfold-tmp-*', [IO.SearchOption]::AllDirectories)).Count -gt 0
}

function LinkOf([string]$path) {
    $item = Get-Item -LiteralPath $path -Force
    if (-not ($item.Attributes -band [IO.FileAttributes]::ReparsePoint)) { return $null }
    "$($item.LinkType) $($item.Target)"
}

try {
    New-Item -ItemType Directory -Path $src, $outside, "$outside\docs" | Out-Null
    Set-Content -LiteralPath "$outside\precious.txt" -Value 'precious'
    Set-Content -LiteralPath "$outside\docs\a.txt" -Value 'outside a'

    New-Item -ItemType Directory -Path "$src\docs", "$src\docs\deep" | Out-Null
    Set-Content -LiteralPath "$src\docs\letter.txt" -Value 'letter'
    Set-Content -LiteralPath "$src\docs\deep\note.txt" -Value 'note'
    cmd /c mklink /J "$src\junction" "$outside" | Out-Null
    cmd /c mklink /J "$src\docs\My Music" "$src\docs" | Out-Null         # loops back to its parent
    cmd /c mklink /J "$src\locked" "$outside\docs" | Out-Null
    icacls "$src\locked" /deny '*S-1-1-0:(RD)' /L | Out-Null              # listing forbidden, as in a profile
    $symlinks = $true
    try {
        New-Item -ItemType SymbolicLink -Path "$src\dirlink" -Target $outside | Out-Null
        New-Item -ItemType SymbolicLink -Path "$src\filelink.txt" -Target "$outside\precious.txt" | Out-Null
    } catch {
        $symlinks = $false
        Write-Host "NOTE this account may not create symbolic links: only junctions are checked"
    }
    Set-Content -LiteralPath "$src\readonly.txt" -Value 'read-only'
    Set-ItemProperty -LiteralPath "$src\readonly.txt" -Name IsReadOnly -Value $true
    $outsideBefore = Listing $outside

    Check 'first mirror exits 0' ((Mirror) -eq 0)
    foreach ($name in @('junction', 'docs\My Music', 'locked') + $(if ($symlinks) { @('dirlink', 'filelink.txt') } else { @() })) {
        $want = LinkOf "$src\$name"
        Check "$name is a link of the same target in the destination" ($null -ne $want -and (LinkOf "$dst\$name") -eq $want)
    }
    Check 'the read-only file is mirrored' ((Get-Content -LiteralPath "$dst\readonly.txt") -eq 'read-only')
    Check 'the folders are mirrored' ((Get-Content -LiteralPath "$dst\docs\deep\note.txt") -eq 'note')
    Check 'nothing outside changed' ((Listing $outside) -eq $outsideBefore)

    # Changes: a junction with another target, a new file, a read-only file that grew, and in the
    # destination an extra folder holding a junction to the outside folder (the delete pass removes
    # the folder and the junction as itself, never what it leads to).
    cmd /c rmdir "$src\junction" | Out-Null
    cmd /c mklink /J "$src\junction" "$outside\docs" | Out-Null
    Set-Content -LiteralPath "$src\docs\new.txt" -Value 'new'
    Set-ItemProperty -LiteralPath "$src\readonly.txt" -Name IsReadOnly -Value $false
    Set-Content -LiteralPath "$src\readonly.txt" -Value 'read-only, now longer'
    New-Item -ItemType Directory -Path "$dst\extra" | Out-Null
    cmd /c mklink /J "$dst\extra\way-out" "$outside" | Out-Null
    Set-Content -LiteralPath "$dst\extra\extra.txt" -Value 'extra'
    Set-ItemProperty -LiteralPath "$dst\extra\extra.txt" -Name IsReadOnly -Value $true

    Check 'second mirror exits 0' ((Mirror) -eq 0)
    Check 'the changed junction has its new target' ((LinkOf "$dst\junction") -eq (LinkOf "$src\junction"))
    Check 'the new file is mirrored' ((Get-Content -LiteralPath "$dst\docs\new.txt") -eq 'new')
    Check 'the grown file is mirrored' ((Get-Content -LiteralPath "$dst\readonly.txt") -eq 'read-only, now longer')
    Check 'the extra folder with its junction is gone' (-not (Test-Path -LiteralPath "$dst\extra"))
    Check 'nothing outside changed' ((Listing $outside) -eq $outsideBefore)
    $dstBefore = Listing $dst
    Check 'a third run exits 0 and changes nothing' ((Mirror) -eq 0 -and (Listing $dst) -eq $dstBefore)

    # A read-only extra file (an old pack file of a repository, say) is deleted like any other.
    Set-Content -LiteralPath "$dst\old.pack" -Value 'old pack'
    Set-ItemProperty -LiteralPath "$dst\old.pack" -Name IsReadOnly -Value $true
    Check 'a run with a read-only extra file exits 0' ((Mirror) -eq 0)
    Check 'the read-only extra file is gone' (-not (Test-Path -LiteralPath "$dst\old.pack"))

    # Twelve nested folders of 40-character names, and names that end in a dot.
    $deepSrc = "$work\deep\src"
    $deepDst = "$work\deep\dst"
    $deepest = $deepSrc
    foreach ($level in 1..12) {
        $deepest = "$deepest\" + ('level{0:d2}_' -f $level).PadRight(40, 'x')
        if ($level % 3 -eq 0) { WriteLong "$deepest\file$level.txt" "content $level" }
    }
    WriteLong "$deepSrc\notes" 'plain'
    WriteLong "$deepSrc\notes." 'dot'
    WriteLong "$deepSrc\folder.\inside.txt" 'inside'
    $deepestDst = $deepDst + $deepest.Substring($deepSrc.Length)
    Check 'deep tree: first mirror exits 0' ((MirrorPaths $deepSrc $deepDst) -eq 0)
    Check 'deep tree: the deepest file is mirrored' ((ReadLong "$deepestDst\file12.txt") -eq 'content 12')
    Check 'names ending in a dot are mirrored as they are' (
        (ReadLong "$deepDst\notes.") -eq 'dot' -and (ReadLong "$deepDst\notes") -eq 'plain' -and
        (ReadLong "$deepDst\folder.\inside.txt") -eq 'inside')
    WriteLong "$deepest\file12.txt" 'content 12, changed and longer'
    WriteLong "$deepest\new.txt" 'new'
    WriteLong "$deepestDst\extra\extra.txt" 'extra'
    Check 'deep tree: second mirror exits 0' ((MirrorPaths $deepSrc $deepDst) -eq 0)
    Check 'deep tree: changed, new and extra entries deep down' (
        (ReadLong "$deepestDst\file12.txt") -eq 'content 12, changed and longer' -and
        (ReadLong "$deepestDst\new.txt") -eq 'new' -and -not [IO.Directory]::Exists((Long "$deepestDst\extra")))
    Check 'deep tree: no temporary entry left' (-not (TemporaryLeft $deepDst))
    Check 'roots typed in the long form: mirror exits 0' ((MirrorPaths (Long $deepSrc) (Long "$work\deep\verbatim")) -eq 0)
    Check 'roots typed in the long form: the deepest file is mirrored' (
        (ReadLong ("$work\deep\verbatim" + $deepest.Substring($deepSrc.Length) + '\new.txt')) -eq 'new')

    # A source root longer than MAX_PATH: a run with the delete pass keeps every file it has.
    $longRoot = "$work\long"
    foreach ($part in 1..6) { $longRoot = "$longRoot\" + ('root{0}_' -f $part).PadRight(40, 'x') }
    WriteLong "$longRoot\docs\report.docx" 'report'
    Check 'long source root: first mirror exits 0' ((MirrorPaths $longRoot "$work\long-dst") -eq 0)
    Check 'long source root: second mirror exits 0' ((MirrorPaths $longRoot "$work\long-dst") -eq 0)
    Check 'long source root: nothing the source has is deleted' ((ReadLong "$work\long-dst\docs\report.docx") -eq 'report')
} finally {
    if (Test-Path -LiteralPath "$src\locked") { icacls "$src\locked" /remove:d '*S-1-1-0' /L | Out-Null }
    Get-ChildItem -LiteralPath $work -Recurse -Force -ErrorAction SilentlyContinue |
        Where-Object { $_.Attributes -band [IO.FileAttributes]::ReadOnly } |
        ForEach-Object { $_.Attributes = $_.Attributes -band (-bnot [IO.FileAttributes]::ReadOnly) }
    # Links first, as themselves, so that removing the folders never reaches what they lead to.
    Get-ChildItem -LiteralPath $work -Recurse -Force -Attributes ReparsePoint -ErrorAction SilentlyContinue |
        ForEach-Object { cmd /c rmdir "$($_.FullName)" 2>$null; if (Test-Path -LiteralPath $_.FullName) { cmd /c del /f /q "$($_.FullName)" } }
    Remove-Item -LiteralPath $work -Recurse -Force -ErrorAction SilentlyContinue
    if (Test-Path -LiteralPath $work) { cmd /c rmdir /s /q (Long $work) 2>$null }  # what lies past MAX_PATH
}

Write-Host "$($script:passed) passed, $($script:failed) failed"
if ($script:failed -ne 0) { exit 1 }
exit 0
