#!/bin/sh
# packaging/check_package.sh BUILD_DIR: makes the Windows release zip in
# BUILD_DIR (a configured windows preset tree, default build/windows) and
# checks what a user downloads: exactly the six files, stripped .exe files
# that carry the version resource and the manifest, texts with CRLF line
# ends. The .exe files of the build tree itself must keep their symbols.
# Exit code 0 when every check holds; each failed check prints one line.
set -u
cd "$(dirname "$0")/.."
dir=${1:-build/windows}
fail=0
bad() { echo "FAIL: $*"; fail=1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
[ -n "$version" ] || { echo "FAIL: $dir is not a configured build tree"; exit 1; }
zip="$dir/tarmis-server-$version-win64.zip"
rm -f "$zip"
# Bounded: a loaded machine builds slowly, but nothing here may hang.
if ! timeout 1800 cmake --build "$dir" --target package >"$dir/package.log" 2>&1; then
    cat "$dir/package.log"
    echo "FAIL: the package target did not build"
    exit 1
fi
[ -f "$zip" ] || { echo "FAIL: $zip was not made"; exit 1; }

expected="LICENSE.txt
Phone dashboard.cmd
README.txt
tarmis_dash.exe
tarmis_server.exe
tarmis_simulator.exe"
listed=$(unzip -Z1 "$zip" | LC_ALL=C sort)
[ "$listed" = "$expected" ] || bad "the zip holds: $(echo $listed)"

tmp=$(mktemp -d /tmp/tarmis_pkg_XXXXXX)
trap 'rm -rf "$tmp"' EXIT
unzip -q "$zip" -d "$tmp" || bad "cannot unpack $zip"

# Text in UTF-16LE, as the version resource stores its strings.
utf16() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -tx1 | tr -d ' \n'; }
hexof() { od -An -tx1 "$1" | tr -d ' \n'; }

for exe in tarmis_server tarmis_dash tarmis_simulator; do
    f="$tmp/$exe.exe"
    [ -f "$f" ] || { bad "$exe.exe missing"; continue; }
    if x86_64-w64-mingw32-objdump -h "$f" | grep -q '\.debug'; then
        bad "$exe.exe has .debug sections"
    fi
    if [ -n "$(x86_64-w64-mingw32-nm "$f" 2>/dev/null)" ]; then
        bad "$exe.exe still has a symbol table"
    fi
    x86_64-w64-mingw32-nm "$dir/$exe.exe" 2>/dev/null | grep -q ' main$' ||
        bad "$dir/$exe.exe (the build tree's) lost its symbols"

    wrestool -x --raw --type=16 "$f" >"$tmp/version.bin" 2>/dev/null
    [ -s "$tmp/version.bin" ] || { bad "$exe.exe has no version resource"; continue; }
    v=$(hexof "$tmp/version.bin")
    for s in "Tarmis Server" "$version" "$exe.exe" "Copyright (c) 2026 the Tarmis Server developers"; do
        case "$v" in *"$(utf16 "$s")"*) ;; *) bad "$exe.exe version resource lacks \"$s\"" ;; esac
    done
    # The fixed part: signature 0xFEEF04BD, then file version 1.1.8.0 as
    # two 32-bit words (major<<16|minor, patch<<16|0), little-endian.
    major=${version%%.*}; rest=${version#*.}; minor=${rest%%.*}; patch=${rest#*.}
    fixed=$(printf 'bd04effe00000100%02x00%02x000000%02x00' "$minor" "$major" "$patch")
    case "$v" in *"$fixed"*) ;; *) bad "$exe.exe fixed file version is not $version.0" ;; esac

    wrestool -x --raw --type=24 "$f" >"$tmp/manifest.xml" 2>/dev/null
    grep -q 'level="asInvoker"' "$tmp/manifest.xml" || bad "$exe.exe manifest lacks asInvoker"
    grep -q '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}' "$tmp/manifest.xml" ||
        bad "$exe.exe manifest does not name Windows 10/11"
done

for t in README.txt LICENSE.txt "Phone dashboard.cmd"; do
    f="$tmp/$t"
    [ -s "$f" ] || { bad "$t missing or empty"; continue; }
    lines=$(tr -cd '\n' <"$f" | wc -c)
    crlf=$(grep -c "$(printf '\r')\$" "$f")
    [ "$lines" -eq "$crlf" ] || bad "$t: $crlf of $lines lines end in CRLF"
done
grep -q "Tarmis Server $version for Windows" "$tmp/README.txt" || bad "README.txt does not name $version"
grep -q 'netsh advfirewall firewall add rule name="Tarmis Server" dir=in action=allow protocol=UDP localport=2047' \
    "$tmp/README.txt" || bad "README.txt lacks the firewall command"
grep -q 'netsh advfirewall firewall add rule name="Tarmis phone dashboard" dir=in action=allow protocol=TCP localport=8080' \
    "$tmp/README.txt" || bad "README.txt lacks the phone page's firewall command"
grep -q '^tarmis_dash.exe --web 8080' "$tmp/Phone dashboard.cmd" && grep -q '^pause' "$tmp/Phone dashboard.cmd" ||
    bad "Phone dashboard.cmd does not start the web page and keep its window open"
grep -q 'MIT License' "$tmp/LICENSE.txt" || bad "LICENSE.txt is not the licence"

[ $fail = 0 ] && echo "package ok: $zip ($(wc -c <"$zip") bytes)"
exit $fail
