# Intune Remediations, detection script: scans the system drive with qfscan.exe, changes nothing.
# Exit 1 ("issue found": Intune then runs intune-remediate.ps1) when an infected file was found or
# the scan failed; exit 0 when the drive is clean. The last line of the output is qfscan's
# verdict with the counts, which Intune shows as the device's detection output.
# qfscan.exe is installed beforehand (for example as a Win32 app) into the folder below.
$qfscan = Join-Path $env:ProgramFiles 'Quenfold\qfscan.exe'
if (-not (Test-Path -LiteralPath $qfscan)) {
    Write-Output "Verdict: failed: $qfscan is not installed"
    exit 1
}
& $qfscan --quiet --event-log "$env:SystemDrive\."
if ($LASTEXITCODE -eq 0) { exit 0 }
exit 1
