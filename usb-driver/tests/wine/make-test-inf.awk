# make-test-inf.awk: the driver's INF as the Wine stage installs it.
#
#   BCTEST_PORT=COM7 BCTEST_HWID='USB\VID_1209&PID_B1C0&REV_0100' \
#       awk -f make-test-inf.awk bulkcom.inf bulkcom.inf > bulkcom-test.inf
#
# (The values come from the environment: awk -v would take the backslash of
# the hardware ID as an escape.)
#
# The file is read twice: first to find the models section and the install
# section it names, then to copy it with the test device's hardware ID added
# to the models and the install section's .HW section replaced by one that
# sets PortName (the shipped INF may or may not name a port). The catalog is
# dropped: the stage has none, and Wine's SetupCopyOEMInf fails when the
# catalog an INF names is missing.

function trim(text) {
    gsub(/^[ \t\r]+|[ \t\r]+$/, "", text)
    return text
}

function section_of(line,    name) {
    name = line
    sub(/^[ \t]*\[/, "", name)
    sub(/\].*$/, "", name)
    return trim(name)
}

function first_value(line,    value) {
    value = line
    sub(/^[^=]*=/, "", value)
    sub(/;.*$/, "", value)
    return value
}

NR == FNR {
    if ($0 ~ /^[ \t]*\[/) {
        section = section_of($0)
        sections[tolower(section)] = section
        next
    }
    if ($0 ~ /^[ \t]*;/ || $0 !~ /=/ || (tolower(section) in first_line)) {
        next
    }
    first_line[tolower(section)] = first_value($0)
    next
}

FNR == 1 {
    port = ENVIRON["BCTEST_PORT"]
    hwid = ENVIRON["BCTEST_HWID"]
    count = split(first_line["manufacturer"], parts, ",")
    models = tolower(trim(parts[1]))
    for (i = 2; i <= count; i++) {
        if (tolower(trim(parts[i])) == "ntamd64") {
            models = models ".ntamd64"
        }
    }
    split(first_line[models], parts, ",")
    install = trim(parts[1])
    if (tolower(install ".NTamd64") in sections) {
        install = sections[tolower(install ".NTamd64")]
    }
    hw = tolower(install ".HW")
    if (models == "" || install == "") {
        print "make-test-inf: no models or install section found" > "/dev/stderr"
        exit 1
    }
}

/^[ \t]*\[/ {
    section = tolower(section_of($0))
    skipping = section == hw
    if (skipping) {
        next
    }
    print
    if (section == models) {
        printf "\"bulkcom test port\" = %s, %s\n", base_install(install), hwid
    }
    next
}

skipping || /^[ \t]*HKR[ \t]*,[ \t]*,[ \t]*PortName/ || tolower($0) ~ /^[ \t]*catalogfile/ {
    next
}

{
    print
}

END {
    printf "\n[%s.HW]\nAddReg = BcTest_PortName\n\n[BcTest_PortName]\nHKR,,PortName,,\"%s\"\n", install, port
}

function base_install(name) {
    sub(/\.NTamd64$/, "", name)
    return name
}
