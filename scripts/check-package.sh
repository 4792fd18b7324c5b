#!/usr/bin/env bash
# Builds the Debian package and tries it as a user would: lists its files and
# its control data, installs it with apt, runs quorvia-convert and looks at
# the desktop entry, removes it again and checks that nothing is left.
# Installs into this machine's /usr: run it where that is acceptable (CI,
# a container, a virtual machine), as root or with sudo.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
fail() {
    echo "check-package: $*" >&2
    exit 1
}

if dpkg-query -W -f='${Status}' quorvia 2>/dev/null | grep -q "install ok installed"; then
    fail "a quorvia package is installed already; remove it first"
fi

scripts/package.sh
deb=$(ls "$top"/build-package/quorvia_*.deb)
version=$(sed -n 's/^project(Quorvia VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

echo "== Files"
dpkg-deb -c "$deb"
echo "== Control"
dpkg-deb -I "$deb"

listing=$(dpkg-deb -c "$deb")
for path in usr/bin/quorvia usr/bin/quorvia-convert usr/share/applications/quorvia.desktop \
    usr/share/icons/hicolor/128x128/apps/quorvia.png usr/share/icons/hicolor/256x256/apps/quorvia.png \
    usr/share/man/man1/quorvia-convert.1.gz usr/share/man/man1/quorvia.1.gz \
    usr/share/bash-completion/completions/quorvia-convert usr/share/doc/quorvia/copyright \
    usr/share/metainfo/example.norvale.Quorvia.metainfo.xml; do
    grep -q " \./$path\$" <<<"$listing" || fail "the package lacks /$path"
done
depends=$(dpkg-deb -f "$deb" Depends)
for library in libqt5core5a libqt5widgets5 libstdc++6 libsndfile1 libmpg123-0 libsoxr0; do
    grep -q "$library" <<<"$depends" || fail "Depends does not name $library: $depends"
done
# The completion does nothing without bash-completion, which most systems
# have; it is recommended, not required.
dpkg-deb -f "$deb" Recommends | grep -qw bash-completion || fail "Recommends lacks bash-completion"

echo "== Install"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y "$deb"
installed=$(dpkg-query -L quorvia)

echo "== Try"
[ "$(quorvia-convert --version)" = "quorvia-convert $version" ] || fail "wrong --version"
[ "$(command -v quorvia)" = /usr/bin/quorvia ] || fail "quorvia is not on the PATH"
desktop-file-validate /usr/share/applications/quorvia.desktop
grep -qx 'Exec=quorvia %F' /usr/share/applications/quorvia.desktop || fail "desktop entry's Exec"
# A search for the program's name finds the window, whose Name is Tamsel.
grep -q '^Keywords=\(.*;\)\?Quorvia;' /usr/share/applications/quorvia.desktop ||
    fail "the desktop entry's Keywords lack Quorvia"
# The desktop database names the program for recordings, so that file
# managers offer it.
if [ -f /usr/share/applications/mimeinfo.cache ]; then
    grep -q '^audio/x-wav=.*quorvia.desktop' /usr/share/applications/mimeinfo.cache ||
        fail "the desktop database does not offer quorvia for audio/x-wav"
fi
for page in quorvia-convert quorvia; do
    man -w "$page" >/dev/null || fail "no manual page for $page"
done
# Debian's machine-readable format: its header, and a Files paragraph for
# everything with a License that a stand-alone paragraph or text explains.
copyright=/usr/share/doc/quorvia/copyright
head -1 "$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "$copyright is not in the machine-readable format"
grep -q '^Upstream-Name: Quorvia$' "$copyright" || fail "$copyright lacks Upstream-Name"
awk -v RS= '/^Files: \*\n/ && /\nCopyright: / && /\nLicense: [^\n]+\n / { found = 1 } END { exit !found }' \
    "$copyright" || fail "$copyright lacks a Files: * paragraph with its copyright and license"
appstreamcli validate --no-net /usr/share/metainfo/example.norvale.Quorvia.metainfo.xml
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sox -n -r 44100 -c 2 -b 16 "$work/in.wav" synth 1 sine 440 vol 0.3 2>/dev/null ||
    fail "sox is needed to make a recording"
quorvia-convert "$work/in.wav" "$work/out.wav"
quorvia-convert --quiet "$work/out.wav" "$work/back.wav"
# The libraries opened only when needed: FLAC, and the high-quality mode.
quorvia-convert --quiet --quality high "$work/out.wav" "$work/back.flac"
quorvia-convert --quiet --to brinmoor "$work/back.flac" "$work/again.wav"
# The manual page's own example: the folder is made.
quorvia-convert --quiet -o "$work/converted/" "$work"/*.wav
[ -s "$work/converted/in.wav" ] || fail "-o did not convert into a folder it made"
echo "converted $work/in.wav there and back"

echo "== Remove"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get remove -y quorvia
status=$(dpkg-query -W -f='${db:Status-Abbrev}' quorvia 2>/dev/null || true)
case "$status" in
    "" | "un "*) ;;
    *) fail "after removal dpkg says: $status" ;;
esac
left=0
while read -r path; do
    if [ -f "$path" ] || [ -L "$path" ]; then
        echo "left behind: $path" >&2
        left=1
    fi
done <<<"$installed"
((left == 0)) || fail "files were left behind"
echo "check-package: $(basename "$deb") built, installed, tried and removed without a trace"
