#!/usr/bin/env bash
# Checks what a user installs: `check.sh tree|manual|tgz|deb BUILD_DIR SOURCE_DIR`.
#   tree    cmake --install into a scratch DESTDIR, then the installed tool and simulator work
#   manual  both manual pages render with no warning (man-db with groff, or mandoc)
#   tgz     the .tar.gz holds what it should, and the tool unpacked from it works
#   deb     the Debian package holds what it should, and the tool unpacked from it works
# Written for bash 3.2 too, the shell macOS ships.
set -euo pipefail
mode=$1 build=$2 source=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The usage text and a write of every byte value, with programs from bin directory $1.
check_programs() {
    local bin=$1 out status
    out=$("$bin/eeprom-writer" | od -An -c | tr -s ' \n' ' ') || fail "usage exited non-zero"
    local expected
    expected=$(printf 'EEPROM-Writer for Quillbox\t2011-07-02\r\nThis tool writes a file to the external EEPROM of the Quillbox\r\n\r\nFor more information visit: https://quillbox.example.org/eeprom-writer\r\n\r\nUsage: %s <port> <file>\r\nExample: %s COM1 eeprom.bin\r\n\r\n' \
        "$bin/eeprom-writer" "$bin/eeprom-writer" | od -An -c | tr -s ' \n' ' ')
    [ "$out" = "$expected" ] || fail "usage text of $bin/eeprom-writer differs"

    for value in $(seq 0 255); do printf "\\$(printf %o "$value")"; done > "$scratch/data.bin"
    status=0
    "$bin/quillbox-sim" --image "$scratch/eeprom.img" -- \
        "$bin/eeprom-writer" '{}' "$scratch/data.bin" > "$scratch/out" 2> "$scratch/err" || status=$?
    [ "$status" = 0 ] || fail "the installed tool ended with status $status: $(cat "$scratch/err")"
    cmp -n 256 "$scratch/data.bin" "$scratch/eeprom.img" || fail "the device does not hold the file"
    grep -q 'Writing to EEPROM... 000.195%' "$scratch/out" || fail "no last progress line"
    rm -f "$scratch/eeprom.img"
}

case $mode in
tree)
    DESTDIR=$scratch/root cmake --install "$build" --prefix /usr/local > /dev/null
    for file in bin/eeprom-writer bin/quillbox-sim share/man/man1/eeprom-writer.1 \
        share/man/man1/quillbox-sim.1 share/doc/eeprom-writer/README.md; do
        [ -f "$scratch/root/usr/local/$file" ] || fail "not installed: $file"
    done
    check_programs "$scratch/root/usr/local/bin"
    ;;
manual)
    for page in eeprom-writer quillbox-sim; do
        # man-db (Linux) renders with groff's warnings on; elsewhere mandoc, whose lint mode
        # reports the same kind of fault.
        if man --version 2> /dev/null | grep -q '^man '; then
            MANWIDTH=80 man --warnings=w -l "$build/man/$page.1" > "$scratch/page" 2> "$scratch/warnings"
        elif command -v mandoc > /dev/null; then
            mandoc -T lint -W warning "$build/man/$page.1" > "$scratch/warnings" 2>&1 || true
            mandoc -T utf8 "$build/man/$page.1" | col -b > "$scratch/page"
        else
            fail "neither man-db nor mandoc is installed"
        fi
        [ ! -s "$scratch/warnings" ] || fail "$page.1: $(cat "$scratch/warnings")"
        grep -q 'EXIT STATUS' "$scratch/page" || fail "$page.1 did not render"
        grep -q "$(sed -n 's/^project(eeprom-writer VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")" \
            "$scratch/page" || fail "$page.1 does not carry the project's version"
    done
    ;;
tgz)
    (cd "$build" && cpack -G TGZ -B "$scratch/package" > /dev/null)
    package=$(ls "$scratch"/package/eeprom-writer-*.tar.gz)
    top=$(basename "$package" .tar.gz)
    tar -tzf "$package" | grep -v '/$' | sort > "$scratch/list"
    printf '%s\n' "$top/bin/eeprom-writer" "$top/bin/quillbox-sim" \
        "$top/share/doc/eeprom-writer/README.md" "$top/share/man/man1/eeprom-writer.1" \
        "$top/share/man/man1/quillbox-sim.1" | sort > "$scratch/expected"
    diff "$scratch/expected" "$scratch/list" > /dev/null ||
        fail "the archive holds other files: $(diff "$scratch/expected" "$scratch/list")"
    mkdir "$scratch/unpacked"
    tar -xzf "$package" -C "$scratch/unpacked"
    check_programs "$scratch/unpacked/$top/bin"
    ;;
deb)
    (cd "$build" && cpack -G DEB -B "$scratch/package" > /dev/null)
    package=$(ls "$scratch"/package/eeprom-writer_*_*.deb)
    dpkg-deb -c "$package" | awk '{print $6}' > "$scratch/list"
    for file in ./usr/bin/eeprom-writer ./usr/bin/quillbox-sim ./usr/share/man/man1/eeprom-writer.1 \
        ./usr/share/man/man1/quillbox-sim.1 ./usr/share/doc/eeprom-writer/README.md; do
        grep -qx "$file" "$scratch/list" || fail "the package lacks $file"
    done
    if grep -v -e '/$' -e '^./usr/bin/' -e '^./usr/share/man/man1/' -e '^./usr/share/doc/eeprom-writer/' \
        "$scratch/list"; then
        fail "the package holds files it should not"
    fi
    dpkg-deb -f "$package" Depends | grep -q 'libc6' || fail "no library dependencies filled in"
    dpkg-deb -x "$package" "$scratch/unpacked"
    check_programs "$scratch/unpacked/usr/bin"
    ;;
*)
    fail "unknown mode $mode"
    ;;
esac
echo "ok: $mode"
