#!/usr/bin/env bash
# Checks every import of a built bulkcom.sys against the kernel images Wine
# ships, so that a routine Wine lacks or leaves unimplemented is found before
# the driver host dies on it:
#   - each imported name must be exported by the DLL the import names
#     (forwarded exports are followed into the DLL they name)
#   - the export must not be one of Wine's unimplemented stubs, unless it is
#     listed as known: a stub ends the whole driver host when called
#
# How a stub is told: Wine's export builder (winebuild) makes every unimplemented export a
# few instructions that load its name and call __wine_spec_unimplemented_stub.
# The check disassembles the first instructions at the export's address and
# looks for a call to that routine's address (from the DLL's symbol table,
# which Wine's PE images keep).

set -uo pipefail

OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}
NM=${NM:-x86_64-w64-mingw32-nm}

usage() {
    cat >&2 <<'EOF'
usage: check-wine-imports.sh [--wine-dir DIR] [--known-stubs FILE] IMAGE.sys

  --wine-dir DIR       Wine's x86-64 PE images
                       (default /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
  --known-stubs FILE   names that may be stubs, one per line ('#' starts a
                       comment): routines Wine never leads the driver to call
EOF
    exit 2
}

wine_dir=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
known_file=""
image=""
while [ $# -gt 0 ]; do
    case "$1" in
        --wine-dir) wine_dir=${2:?}; shift 2 ;;
        --known-stubs) known_file=${2:?}; shift 2 ;;
        -*) usage ;;
        *) [ -z "$image" ] || usage; image=$1; shift ;;
    esac
done
[ -n "$image" ] || usage
[ -r "$image" ] || { echo "check-wine-imports: cannot read $image" >&2; exit 2; }
[ -d "$wine_dir" ] || { echo "check-wine-imports: no Wine images in $wine_dir" >&2; exit 2; }

declare -A known=()
if [ -n "$known_file" ]; then
    while read -r name; do
        [ -n "$name" ] && known[$name]=1
    done < <(sed -e 's/#.*//' -e 's/[[:space:]]//g' "$known_file")
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# "dll name" per import by name; an import by ordinal cannot be checked by name.
"$OBJDUMP" -p "$image" | awk '
    /^[[:space:]]*DLL Name:/ { dll = tolower($3); next }
    dll != "" && /^[[:space:]]*$/ { dll = ""; next }
    dll != "" && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print dll, $3 }
    dll != "" && /<none>|Ordinal/ { print dll, "#ordinal" }
' > "$work/imports"
[ -s "$work/imports" ] || { echo "check-wine-imports: $image has no imports" >&2; exit 1; }

# Per DLL, once: "name kind value" with kind export (value: the address in
# hex) or forward (value: dll.name). mawk has no hex arithmetic: bash adds
# the image base.
exports_of() {
    local dll=$1 out="$work/exports.$1"
    if [ ! -e "$out" ]; then
        local path="$wine_dir/$dll"
        if [ ! -r "$path" ]; then
            : > "$out"
        else
            local base
            base=$("$OBJDUMP" -p "$path" | awk '/^ImageBase/ { print $2; exit }')
            "$OBJDUMP" -p "$path" | awk '
                function entry_index(   line) {
                    line = $0; sub(/^[^[]*\[ */, "", line); sub(/\].*/, "", line)
                    return line
                }
                /^Export Address Table -- Ordinal Base/ { section = "eat"; next }
                /^\[Ordinal\/Name Pointer\] Table/ { section = "names"; next }
                section == "eat" && /Export RVA/ {
                    idx = entry_index()
                    match($0, /\] [0-9a-f]+ Export RVA/)
                    split(substr($0, RSTART + 2), f, " ")
                    rva[idx + 0] = f[1]; next
                }
                section == "eat" && /Forwarder RVA/ {
                    idx = entry_index()
                    fwd[idx + 0] = $NF; next
                }
                section == "names" && /^\t\[/ {
                    line = $0; sub(/^\t\[ */, "", line)
                    split(line, f, "] "); i = f[1] + 0
                    if (i in fwd) { print f[2], "forward", fwd[i] }
                    else if (i in rva) { print f[2], "export", rva[i] }
                    next
                }
                section == "names" && !/^\t/ { section = "" }
            ' | while read -r name kind value; do
                if [ "$kind" = export ]; then
                    printf '%s export %x\n' "$name" $((0x$base + 0x$value))
                else
                    echo "$name $kind $value"
                fi
            done > "$out"
        fi
    fi
    echo "$out"
}

# Prints the addresses of stubs among the given addresses of one DLL.
stubs_among() {
    local dll=$1 addresses=$2 stub
    stub=$("$NM" "$wine_dir/$dll" 2>/dev/null | awk '$3 == "__wine_spec_unimplemented_stub" { print $1 }')
    if [ -z "$stub" ]; then
        echo "check-wine-imports: $dll has no symbol __wine_spec_unimplemented_stub; cannot tell its stubs" >&2
        return 1
    fi
    stub=$(printf '%x' "0x$stub")
    "$OBJDUMP" -d --no-show-raw-insn "$wine_dir/$dll" | awk -v stub="$stub" -v wanted="$addresses" '
        BEGIN { n = split(wanted, w, " "); for (i = 1; i <= n; i++) want[w[i]] = 1 }
        /^ *[0-9a-f]+:\t/ {
            address = $1; sub(/:$/, "", address); sub(/^0+/, "", address)
            if (address in want) { current = address; left = 4 }
            if (left > 0) {
                if ($0 ~ ("call +" stub "( |$)") || $0 ~ ("call +0*" stub " ")) { print current; left = 0; next }
                left--
            }
        }
    '
}

failures=0
fail() {
    echo "check-wine-imports: $1" >&2
    failures=$((failures + 1))
}

# First each import is followed to the DLL and address that implement it;
# then each DLL is disassembled once for all its addresses.
: > "$work/resolved"
while read -r dll name; do
    if [ "$name" = "#ordinal" ]; then
        fail "$image imports from $dll by ordinal, which cannot be checked by name"
        continue
    fi
    at_dll=$dll
    at_name=$name
    for hop in 1 2 3 4; do
        line=$(awk -v n="$at_name" '$1 == n { print $2, $3; exit }' "$(exports_of "$at_dll")")
        if [ -z "$line" ]; then
            fail "$dll!$name is missing: Wine's $at_dll does not export $at_name"
            break
        fi
        set -- $line
        if [ "$1" = export ]; then
            echo "$at_dll $2 $dll!$name" >> "$work/resolved"
            break
        fi
        at_name=${2##*.}
        at_dll=${2%.*}
        case "$at_dll" in *.*) ;; *) at_dll="$at_dll.dll" ;; esac
        at_dll=$(echo "$at_dll" | tr 'A-Z' 'a-z')
    done
done < "$work/imports"

for dll in $(awk '{ print $1 }' "$work/resolved" | sort -u); do
    addresses=$(awk -v d="$dll" '$1 == d { print $2 }' "$work/resolved" | tr '\n' ' ')
    if ! stubs_among "$dll" "$addresses" > "$work/stubs.$dll"; then
        fail "cannot tell which exports of $dll are stubs"
        continue
    fi
    while read -r address; do
        for import in $(awk -v d="$dll" -v a="$address" '$1 == d && $2 == a { print $3 }' "$work/resolved"); do
            if [ -n "${known[${import#*!}]+set}" ]; then
                echo "known stub: $import (Wine never leads the driver to call it)"
            else
                fail "$import is a stub: Wine's $dll leaves it unimplemented, and a call ends the driver host"
            fi
        done
    done < "$work/stubs.$dll"
done

count=$(wc -l < "$work/imports")
if [ "$failures" -ne 0 ]; then
    echo "check-wine-imports: $failures of $count imports of $image would fail on Wine" >&2
    exit 1
fi
for name in "${!known[@]}"; do
    grep -q " $name\$" "$work/imports" || echo "note: known stub $name is not imported any more"
done
echo "check-wine-imports: all $count imports of $image are implemented by Wine or known stubs"
