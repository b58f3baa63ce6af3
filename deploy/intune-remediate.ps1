# Intune Remediations, remediation script: Quenfold's start-up cleanup (the worm's processes, the
# Run keys in both registry views, Userinit, its dropped files), then a scan of the system drive
# that deletes every infected program. Exit 0 when nothing infected is left, 3010 when a restart
# finishes the removal (files in use go when Windows next starts), 1603 otherwise. The last line
# of the output is the verdict with the counts; standard error is written only on a failure.
# Run as SYSTEM (Intune's default), so the cleanup is elevated.
$qfscan = Join-Path $env:ProgramFiles 'Quenfold\qfscan.exe'
if (-not (Test-Path -LiteralPath $qfscan)) {
    Write-Output "Verdict: failed: $qfscan is not installed"
    exit 1603
}
& $qfscan --cleanup --delete --quiet --event-log --exit-codes installer "$env:SystemDrive\."
exit $LASTEXITCODE
