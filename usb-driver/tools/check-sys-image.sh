#!/usr/bin/env bash
# Checks that a built bulkcom.sys has the shape Windows requires of a WDM
# kernel driver, from its PE headers alone (nothing here loads the image):
#   - x86-64 executable image, not a DLL, relocations kept
#   - subsystem native (1)
#   - entry point = DriverEntry, inside a code section, at the start of a
#     function listed in .pdata
#   - DllCharacteristics with WDM_DRIVER, NX_COMPAT and DYNAMIC_BASE
#   - a PE checksum that matches the file: the system requires one of a
#     driver, and a tool that changes the image after the link (the signer
#     appending its certificate table) must recompute it
#   - no export table, or an empty one
#   - imports only from ntoskrnl.exe, hal.dll and usbd.sys
#   - optionally, that named functions are imported
#
# The release image is linked with -s, so it has no symbol table to name its
# entry point. The proof comes from the linker map written by that same ld
# run (the build writes bulkcom.map beside bulkcom.sys): DriverEntry's address
# in the map must equal ImageBase + AddressOfEntryPoint, and every section
# address in the map must match the image, so a map of another link is
# refused. An unstripped image is checked against its own symbol table.

set -uo pipefail

OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}
NM=${NM:-x86_64-w64-mingw32-nm}
ALLOWED_DLLS=(ntoskrnl.exe hal.dll usbd.sys)

usage() {
    cat >&2 <<'EOF'
usage: check-sys-image.sh [--map FILE] IMAGE.sys [REQUIRED_IMPORTS]

  --map FILE        linker map of the link that produced IMAGE
                    (default: IMAGE with .sys replaced by .map, if present)
  REQUIRED_IMPORTS  function names the image must import: a list separated
                    by commas or spaces, or the path of a file with one name
                    per line ('#' starts a comment)
EOF
    exit 2
}

map=""
positional=()
while [[ $# -gt 0 ]]; do
    case "$1" in
        --map) [[ $# -ge 2 ]] || usage; map=$2; shift 2 ;;
        -h|--help) usage ;;
        -*) echo "check-sys-image: unknown option $1" >&2; usage ;;
        *) positional+=("$1"); shift ;;
    esac
done
[[ ${#positional[@]} -ge 1 && ${#positional[@]} -le 2 ]] || usage
image=${positional[0]}
required_arg=${positional[1]:-}

[[ -f $image ]] || { echo "check-sys-image: $image: no such file" >&2; exit 2; }
if [[ -z $map && $image == *.sys && -f ${image%.sys}.map ]]; then
    map=${image%.sys}.map
fi
[[ -z $map || -f $map ]] || { echo "check-sys-image: $map: no such file" >&2; exit 2; }

if ! headers=$("$OBJDUMP" -p "$image" 2>&1) || ! sections=$("$OBJDUMP" -h "$image" 2>&1); then
    echo "FAIL: $image: objdump cannot read it as a PE image:" >&2
    echo "$headers" >&2
    exit 1
fi

failures=()
fail() { failures+=("$1"); }

# Hex digits (with or without 0x) to a number; anything else reads as 0,
# which every check below treats as absent.
num() {
    local digits=${1#0x}
    [[ $digits =~ ^[0-9a-fA-F]+$ ]] || digits=0
    echo $(( 16#$digits ))
}

# Second word of the first "Name<tabs>value" header line.
field() {
    awk -v key="$1" '$1 == key { print $2; exit }' <<<"$headers"
}

format=$(awk '/file format/ { print $NF; exit }' <<<"$headers")
[[ $format == pei-x86-64 ]] ||
    fail "file format is '$format', expected pei-x86-64 (an x64 PE image)"

characteristics=$(field Characteristics)
chars=$(num "$characteristics")
(( chars & 0x0002 )) || fail "Characteristics $characteristics: not marked executable"
(( chars & 0x2000 )) && fail "Characteristics $characteristics: marked as a DLL (linked with -shared?)"
(( chars & 0x0001 )) && fail "Characteristics $characteristics: relocations stripped, the kernel could not relocate it"

subsystem=$(field Subsystem)
subsystem_name=$(awk '$1 == "Subsystem" { sub(/^[^(]*/, ""); print; exit }' <<<"$headers")
subsystem_version="$(field MajorSubsystemVersion).$(field MinorSubsystemVersion)"
(( $(num "$subsystem") == 1 )) ||
    fail "subsystem is ${subsystem:-missing} $subsystem_name, expected 1 (native)"

dll_characteristics=$(field DllCharacteristics)
dllchars=$(num "$dll_characteristics")
dllchar_names=""
for pair in 0x0020:HIGH_ENTROPY_VA 0x0040:DYNAMIC_BASE 0x0080:FORCE_INTEGRITY \
            0x0100:NX_COMPAT 0x0200:NO_ISOLATION 0x0400:NO_SEH 0x0800:NO_BIND \
            0x1000:APPCONTAINER 0x2000:WDM_DRIVER 0x4000:GUARD_CF \
            0x8000:TERMINAL_SERVER_AWARE; do
    (( dllchars & ${pair%%:*} )) && dllchar_names+=" ${pair#*:}"
done
for pair in 0x2000:WDM_DRIVER 0x0100:NX_COMPAT 0x0040:DYNAMIC_BASE; do
    (( dllchars & ${pair%%:*} )) ||
        fail "DllCharacteristics ${dll_characteristics:-missing} lacks ${pair#*:}"
done

# The checksum: 16-bit little-endian words summed with end-around carry,
# skipping the CheckSum field itself (88 bytes into the NT headers), plus the
# file size.
checksum=$(num "$(field CheckSum)")
headers_offset=$(od -An -tu4 -j60 -N4 --endian=little "$image" | tr -d " ")
checksum_word=$(( (headers_offset + 88) / 2 ))
file_size=$(stat -c %s "$image")
computed=$(od -An -v -w2 -tu2 --endian=little "$image" | awk -v skip="$checksum_word" -v size="$file_size" '
    NR - 1 != skip && NR - 1 != skip + 1 { sum += $1; sum = sum % 65536 + int(sum / 65536) }
    END { printf "%d\n", sum + size }')
printf -v checksum_hex '0x%08x' "$checksum"
printf -v computed_hex '0x%08x' "$computed"
if (( checksum == 0 )); then
    fail "no PE checksum (CheckSum is 0); a driver must carry one"
elif (( checksum != computed )); then
    fail "PE checksum $checksum_hex does not match the file ($computed_hex): changed after the link without recomputing it"
fi

image_base=$(num "$(field ImageBase)")
entry_rva=$(num "$(field AddressOfEntryPoint)")
entry_va=$(( image_base + entry_rva ))
printf -v entry_hex '0x%x' "$entry_va"

# "name size vma code(0/1)" for every section of the image.
section_table=$(awk '
    /^ *[0-9]+ / { name = $2; size = $3; vma = $4; next }
    name != "" { print name, size, vma, (/CODE/ ? 1 : 0); name = "" }' <<<"$sections")

entry_section=""
while read -r name size vma code; do
    [[ -n $name ]] || continue
    if (( code && entry_va >= $(num "$vma") && entry_va < $(num "$vma") + $(num "$size") )); then
        entry_section=$name
    fi
done <<<"$section_table"
if (( entry_rva == 0 )); then
    fail "AddressOfEntryPoint is 0 (ld found no DriverEntry: is it extern \"C\"?)"
elif [[ -z $entry_section ]]; then
    fail "entry point $entry_hex is not inside a code section"
fi

# x64 needs unwind data for every function; the entry must start one of them.
pdata_size=$(awk '$1 == "Entry" && $2 == "3" { print $4; exit }' <<<"$headers")
function_starts=$(awk '
    /^The Function Table/ { table = 1; next }
    table && $1 ~ /^[0-9a-f]+:$/ { print $2; next }
    table && NF == 0 && seen { exit }
    table { seen = 1 }' <<<"$headers")
if (( $(num "$pdata_size") == 0 )); then
    fail "no exception directory (.pdata): the x64 unwind tables are missing"
else
    printf -v entry_digits '%016x' "$entry_va"
    grep -qxi -- "$entry_digits" <<<"$function_starts" ||
        fail "entry point $entry_hex is not the start of a function in .pdata"
fi

# Name the entry point: by the image's own symbols if it has them, else by the map.
entry_proof=""
symbols=$("$NM" "$image" 2>/dev/null)
if [[ -n $symbols ]]; then
    driver_entry=$(awk '$2 ~ /^[Tt]$/ && $3 == "DriverEntry" { print $1; exit }' <<<"$symbols")
    if [[ -z $driver_entry ]]; then
        fail "the symbol table has no DriverEntry (C++-mangled? it must be extern \"C\")"
    elif (( $(num "$driver_entry") != entry_va )); then
        fail "entry point $entry_hex is not DriverEntry (0x$driver_entry in the symbol table)"
    else
        entry_proof="the image's symbol table"
    fi
elif [[ -n $map ]]; then
    # Output sections start at column 0: ".name  0x<vma>  0x<size>".
    map_sections=$(awk '/^\.[^ ]+ +0x[0-9a-f]+ +0x[0-9a-f]+/ { print $1, $2 }' "$map")
    mismatch=""
    while read -r name size vma code; do
        map_vma=$(awk -v n="$name" '$1 == n { print $2; exit }' <<<"$map_sections")
        if [[ -n $map_vma ]] && (( $(num "$map_vma") != $(num "$vma") )); then
            mismatch+=" $name"
        fi
    done <<<"$section_table"
    # Symbol lines: "  0x<address>  <name>"; a C++ name would carry its signature.
    driver_entry=$(awk 'NF == 2 && $1 ~ /^0x[0-9a-f]+$/ && $2 == "DriverEntry" { print $1; exit }' "$map")
    if [[ -n $mismatch ]]; then
        fail "map $map is not from the link of this image (moved:$mismatch); relink"
    elif [[ -z $driver_entry ]]; then
        fail "map $map has no DriverEntry (C++-mangled? it must be extern \"C\")"
    elif (( $(num "$driver_entry") != entry_va )); then
        fail "entry point $entry_hex is not DriverEntry ($driver_entry in $map)"
    else
        entry_proof="linker map $(basename "$map")"
    fi
else
    fail "cannot name the entry point: $image has no symbol table and no linker map (pass --map FILE)"
fi

export_size=$(awk '$1 == "Entry" && $2 == "0" { print $4; exit }' <<<"$headers")
export_count=$(awk '
    /^Number in:/ { numbers = 1; next }
    numbers && /Export Address Table/ { print $NF; exit }
    /^Table Addresses/ { exit }' <<<"$headers")
export_count=$(num "$export_count")
if (( $(num "$export_size") != 0 && export_count != 0 )); then
    fail "the image exports $export_count entries; a driver exports nothing (linked with -shared or --export-all-symbols?)"
fi

# Import table: "DLL Name: X" then one "\t<rva>\t<hint> <name>" line per function.
import_lines=$(awk '
    /^\tDLL Name: / { dll = $3; print "dll", dll; next }
    dll != "" && /^\t[0-9a-f]+\t/ { print "fn", dll, $3; next }
    dll != "" && (/^\tvma: / || NF == 0) { next }
    { dll = "" }' <<<"$headers")
imported_functions=$(awk '$1 == "fn" { print $3 }' <<<"$import_lines")

import_summary=""
while read -r _ dll; do
    [[ -n $dll ]] || continue
    functions=$(awk -v d="$dll" '$1 == "fn" && $2 == d { print $3 }' <<<"$import_lines")
    count=$(grep -c . <<<"$functions")
    import_summary+="${import_summary:+, }$dll ($count)"
    allowed=0
    for ok in "${ALLOWED_DLLS[@]}"; do
        [[ ${dll,,} == "$ok" ]] && allowed=1
    done
    (( allowed )) ||
        fail "imports from $dll (${functions//$'\n'/ }); only ${ALLOWED_DLLS[*]} are allowed"
done < <(awk '$1 == "dll"' <<<"$import_lines")
[[ -n $import_summary ]] || fail "the image imports nothing (not linked against ntoskrnl?)"

required=()
if [[ -n $required_arg ]]; then
    if [[ -f $required_arg ]]; then
        mapfile -t required < <(sed -e 's/#.*//' -e 's/[[:space:]]//g' "$required_arg" | grep -v '^$')
    else
        read -r -a required <<<"${required_arg//,/ }"
    fi
    for name in "${required[@]}"; do
        grep -qxF -- "$name" <<<"$imported_functions" ||
            fail "required import $name is not imported"
    done
fi

echo "$image:"
echo "  subsystem:          ${subsystem:-?} $subsystem_name, version $subsystem_version"
echo "  characteristics:    ${characteristics:-?}"
echo "  DllCharacteristics: ${dll_characteristics:-?}${dllchar_names}"
echo "  checksum:           $checksum_hex"
echo "  entry point:        $entry_hex in ${entry_section:-?}${entry_proof:+, DriverEntry by $entry_proof}"
echo "  exports:            $export_count"
echo "  imports:            ${import_summary:-none}"
(( ${#required[@]} == 0 )) || echo "  required imports:   ${required[*]}"

if (( ${#failures[@]} != 0 )); then
    for message in "${failures[@]}"; do
        echo "FAIL: $message" >&2
    done
    echo "check-sys-image: $image is NOT a valid kernel driver image (problems: ${#failures[@]})" >&2
    exit 1
fi
echo "check-sys-image: $image OK"
