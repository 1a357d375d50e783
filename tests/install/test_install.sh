#!/usr/bin/env bash
# test_install.sh BUILD_DIR SAMPLE_ARCHIVE
set -euo pipefail
build=$1
sample=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

dest=$work/dest
DESTDIR=$dest cmake --install "$build" --prefix /usr >"$work/install.log"
root=$dest/usr

# The two programs on the PATH, nothing else in bin/; their files in the private folder.
[ "$(cd "$root/bin" && ls | sort | tr '\n' ' ')" = "tarrowin tarrowin-cli " ] || fail "bin/ holds: $(ls "$root/bin")"
for f in STUB.LGP LGP.95; do
    [ -f "$root/lib/tarrowin/$f" ] || fail "lib/tarrowin/$f not installed"
done
[ -x "$root/lib/tarrowin/STUB.LGP" ] || fail "STUB.LGP is not executable"
# The Windows program, whenever the build made it (the cross compiler was there).
if [ -f "$build/bin/STUBWIN.LGP" ]; then
    cmp -s "$build/bin/STUBWIN.LGP" "$root/lib/tarrowin/STUBWIN.LGP" || fail "lib/tarrowin/STUBWIN.LGP not installed"
fi

# Desktop entry: validator clean (no output at all), starts tarrowin with a file argument.
entry=$root/share/applications/tarrowin.desktop
out=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate: $out"
[ -z "$out" ] || fail "desktop-file-validate: $out"
grep -qx 'Exec=tarrowin %f' "$entry" || fail "Exec line: $(grep Exec "$entry")"
grep -qx 'MimeType=application/x-lgp-archive;' "$entry" || fail "no MIME type in the entry"

# Icon: an SVG in the hicolor theme under the entry's icon name, and PNGs of
# the usual sizes; the same for the archive type's icon.
icon=$root/share/icons/hicolor/scalable/apps/$(sed -n 's/^Icon=//p' "$entry").svg
[ -f "$icon" ] || fail "icon $icon missing"
grep -q '<svg' "$icon" || fail "icon is no SVG"
for size in 16 22 24 32 48 64 128 256; do
    for f in apps/tarrowin.png mimetypes/application-x-lgp-archive.png; do
        png=$root/share/icons/hicolor/${size}x${size}/$f
        file -b "$png" | grep -q "PNG image data, $size x $size" || fail "$png: $(file -b "$png" 2>&1)"
    done
done
[ -f "$root/share/icons/hicolor/scalable/mimetypes/application-x-lgp-archive.svg" ] || fail "no archive type icon"
grep -q '<icon name="application-x-lgp-archive"/>' "$root/share/mime/packages/tarrowin-lgp.xml" \
    || fail "the archive type names no icon"
# Docks match the window to the entry by its class.
grep -qx "StartupWMClass=Quenwick's Tarrowin" "$entry" || fail "no StartupWMClass"

# AppStream metainfo, valid, launching the desktop entry.
metainfo=$root/share/metainfo/org.tarrowin.tarrowin.metainfo.xml
out=$(appstreamcli validate --no-net --pedantic "$metainfo" 2>&1) || fail "appstreamcli: $out"
grep -q '<launchable type="desktop-id">tarrowin.desktop</launchable>' "$metainfo" || fail "metainfo launches nothing"

# The documentation the About box opens, the licence and the change log.
doc=$root/share/doc/tarrowin
for f in README.md copyright changelog.gz docs/screenshots/main-window.png; do
    [ -f "$doc/$f" ] || fail "$doc/$f not installed"
done
head -1 "$doc/copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    || fail "copyright is not machine-readable"

# The Linux self-extractor needs nothing beyond the C library. A sanitizer
# build links the sanitizers' runtimes and is no release: what only a release
# promises (size, libraries, stripped programs, lintian) is checked on release
# builds alone.
needed=$(objdump -p "$root/lib/tarrowin/STUB.LGP" | awk '/NEEDED/ {print $2}' | sort | tr '\n' ' ')
case "$needed" in *libasan* | *libubsan*) release=0 ;; *) release=1 ;; esac
if [ "$release" = 1 ]; then
    [ "$needed" = "ld-linux-x86-64.so.2 libc.so.6 " ] || fail "STUB.LGP needs: $needed"
    [ "$(stat -c %s "$root/lib/tarrowin/STUB.LGP")" -le 1048576 ] || fail "STUB.LGP is larger than 1 MB"
fi

# MIME type: by the *.lgp glob, and by the creator field for files without it.
export XDG_DATA_HOME=$work/data XDG_DATA_DIRS=$work/none
mkdir -p "$XDG_DATA_HOME/mime/packages"
cp "$root/share/mime/packages/"*.xml "$XDG_DATA_HOME/mime/packages/"
update-mime-database "$XDG_DATA_HOME/mime"
cp "$sample" "$work/Sample.LGP"
cp "$sample" "$work/noextension"
printf 'just text, not an archive\n' >"$work/text.lgx"
for f in Sample.LGP noextension; do
    type=$(xdg-mime query filetype "$work/$f")
    [ "$type" = "application/x-lgp-archive" ] || fail "$f has the type \"$type\""
done
type=$(xdg-mime query filetype "$work/text.lgx")
[ "$type" != "application/x-lgp-archive" ] || fail "a text file is taken for an archive"

# The installed CLI, started through a link elsewhere on the PATH, finds
# LGP.95 (make-patch) and STUB.LGP (make-sfx) in its private folder.
mkdir -p "$work/path"
ln -s "$root/bin/tarrowin-cli" "$work/path/tarrowin-cli"
export PATH=$work/path:$PATH
cp "$sample" "$work/modified.lgp"
tarrowin-cli make-patch "$sample" "$work/modified.lgp" "$work/p.lgp" >/dev/null
tarrowin-cli make-sfx "$work/p.lgp" "$work/sfx" >/dev/null
[ -x "$work/sfx" ] || fail "make-sfx wrote no program"
cmp -s <(head -c "$(stat -c %s "$root/lib/tarrowin/STUB.LGP")" "$work/sfx") "$root/lib/tarrowin/STUB.LGP" \
    || fail "the self-extractor does not start with the installed stub"
tarrowin-cli unwrap-sfx "$work/sfx" "$work/back.lgp" >/dev/null
cmp -s "$work/p.lgp" "$work/back.lgp" || fail "unwrapped patch differs"
if [ -f "$build/bin/STUBWIN.LGP" ]; then
    tarrowin-cli make-sfx "$work/p.lgp" "$work/FIX.exe" >/dev/null || fail "make-sfx FIX.exe failed"
    cmp -s <(head -c "$(stat -c %s "$root/lib/tarrowin/STUBWIN.LGP")" "$work/FIX.exe") "$root/lib/tarrowin/STUBWIN.LGP" \
        || fail "FIX.exe does not start with the installed Windows stub"
    tarrowin-cli unwrap-sfx "$work/FIX.exe" "$work/back.exe.lgp" >/dev/null
    cmp -s "$work/p.lgp" "$work/back.exe.lgp" || fail "patch unwrapped from FIX.exe differs"
fi

# The installed program opens the archive named on its command line at
# start-up; a missing one is reported in the error box Open would show.
export TARROWIN_UI_SCRIPT=$work/answers TARROWIN_UI_LOG=$work/boxes HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
: >"$TARROWIN_UI_SCRIPT"
mkdir -p "$HOME"
"$root/bin/tarrowin" "$work/missing.lgp" &
app=$!
for _ in $(seq 100); do
    grep -q "Cannot open file" "$work/boxes" 2>/dev/null && break
    sleep 0.1
done
kill "$app" 2>/dev/null || true
wait "$app" 2>/dev/null || true
grep -q "Cannot open file $work/missing.lgp" "$work/boxes" || fail "no error box for a missing archive: $(cat "$work/boxes" 2>/dev/null)"
# The Debian package: the same layout under /usr, and the runtime dependencies.
(cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1) || fail "cpack: $(tail -5 "$work/cpack.log")"
deb=$(ls "$work"/pkg/tarrowin_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6widgets6 libqt6openglwidgets6 libglu1 libfluidsynth timgm6mb-soundfont; do
    case "$depends" in *"$lib"*) ;; *) fail "the package does not depend on $lib: $depends" ;; esac
done
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/tarrowin ./usr/bin/tarrowin-cli ./usr/lib/tarrowin/STUB.LGP ./usr/lib/tarrowin/LGP.95 \
    ./usr/share/applications/tarrowin.desktop ./usr/share/mime/packages/tarrowin-lgp.xml \
    ./usr/share/icons/hicolor/scalable/apps/tarrowin.svg; do
    grep -q " $f\$" <<<"$contents" || fail "the package lacks $f"
done
if [ -f "$build/bin/STUBWIN.LGP" ]; then
    grep -q " ./usr/lib/tarrowin/STUBWIN.LGP\$" <<<"$contents" || fail "the package lacks the Windows program"
fi
if [ "$release" = 1 ]; then
    # Programs stripped, and nothing lintian objects to.
    for f in usr/bin/tarrowin usr/bin/tarrowin-cli usr/lib/tarrowin/STUB.LGP; do
        dpkg-deb --fsys-tarfile "$deb" | tar -xO "./$f" >"$work/prog"
        file -b "$work/prog" | grep -q ", stripped" || fail "$f is not stripped"
    done
    [ "$(dpkg-deb -f "$deb" Section)" = utils ] || fail "section $(dpkg-deb -f "$deb" Section)"
    findings=$(lintian --allow-root --tag-display-limit 0 "$deb" 2>&1 | grep -E '^[EW]: ' || true)
    grep -q " ./usr/share/man/man1/tarrowin-cli.1.gz\$" <<<"$contents" || fail "the package lacks the manual pages"
    [ -z "$findings" ] || fail "lintian: $findings"
fi
echo "install layout ok"
