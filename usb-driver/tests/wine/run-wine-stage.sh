#!/usr/bin/env bash
# run-wine-stage.sh: installs the test USB bus and the real bulkcom.sys into
# a fresh Wine prefix and runs the smoke client against the port.
#
#   run-wine-stage.sh <work dir> <bulkcom.sys> <wine test build dir> [client.exe...]
#
# Further Win32 clients run after the smoke client, in the same session, in
# order; the first that exits non-zero fails the run. BCTEST_WINVER (for
# example win10) sets the Windows version the prefix reports; Wine's own
# default is Windows 7. BCTEST_WINEDEBUG replaces WINEDEBUG=-all.
# The work dir gets a new prefix each run. Everything after the prefix is
# made runs in one Wine session, since the driver host ends with the last
# Wine process. Exit status 0 when the bytes written to the port came back.
set -euo pipefail

if [[ $# -lt 3 ]]; then
    echo "usage: $0 <work dir> <bulkcom.sys> <wine test build dir> [client.exe...]" >&2
    exit 2
fi
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(realpath -m "$1")
driver=$(realpath "$2")
tests=$(realpath "$3")
shift 3
clients=()
for client in "$@"; do
    clients+=("$(realpath "$client")")
done
port=COM7
inf="$here/../../inf/bulkcom.inf"

for file in "$driver" "$tests/bctestbus.sys" "$tests/bcinstall.exe" "$tests/smoke.exe" "$inf" "${clients[@]}"; do
    [[ -f $file ]] || { echo "run-wine-stage: missing $file" >&2; exit 2; }
done

export WINEPREFIX="$work/prefix"
export WINEDEBUG="${BCTEST_WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

started=$SECONDS
end_session() { timeout 30 wineserver -k >/dev/null 2>&1 || true; }
trap end_session EXIT

rm -rf "$WINEPREFIX"
mkdir -p "$work"
timeout 120 wine wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }
timeout 60 wineserver -w
if [[ -n ${BCTEST_WINVER:-} ]]; then
    timeout 60 wine winecfg -v "$BCTEST_WINVER" >>"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }
    timeout 60 wineserver -w
fi

stage="$WINEPREFIX/drive_c/bctest"
mkdir -p "$stage"
cp "$driver" "$tests/bctestbus.sys" "$tests/bcinstall.exe" "$tests/smoke.exe" "$here/bus/bctestbus.inf" "$stage/"
BCTEST_PORT=$port BCTEST_HWID='USB\VID_1209&PID_B1C0&REV_0100' \
    awk -f "$here/make-test-inf.awk" "$inf" "$inf" >"$stage/bulkcom-test.inf"
# Wine's cmd runs the right side of "||" whatever the left side returned.
printf '%s\r\n' '@echo off' \
    'C:\bctest\bcinstall.exe C:\bctest\bctestbus.inf C:\bctest\bulkcom-test.inf' \
    'if errorlevel 1 exit /b 1' \
    "C:\\bctest\\smoke.exe $port" \
    'if errorlevel 1 exit /b 1' >"$stage/steps.bat"
for client in "${clients[@]}"; do
    cp "$client" "$stage/"
    printf '%s\r\n' "C:\\bctest\\$(basename "$client")" 'if errorlevel 1 exit /b 1' >>"$stage/steps.bat"
done

status=0
timeout 90 wine cmd /c 'C:\bctest\steps.bat' >"$work/client.log" 2>&1 || status=$?
end_session
trap - EXIT

if [[ $status -ne 0 ]]; then
    echo "run-wine-stage: failed (status $status) after $((SECONDS - started)) s; client output:" >&2
    cat "$work/client.log" >&2
    exit 1
fi
cat "$work/client.log"
echo "run-wine-stage: passed in $((SECONDS - started)) s"
