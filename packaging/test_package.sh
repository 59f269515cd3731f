#!/bin/sh
# Builds the Debian package into a scratch folder, unpacks it with dpkg -x and
# runs every program from there: --version, then a small workspace written,
# segmented and scored by the installed programs alone.
set -eu
build=$1
version=$2
python=${3:-OFF}  # ON when the package holds the Python module
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "package test: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 || { cat "$tmp/cpack.log"; fail "cpack failed"; }
deb=$(ls "$tmp"/out/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libqt6widgets6 libtiff6 qt6-image-formats-plugins fonts-dkg-handwriting; do
  case "$depends" in *"$needed"*) ;; *) fail "Depends lacks $needed: $depends" ;; esac
done
dpkg-deb -x "$deb" "$tmp/root"
bin=$tmp/root/usr/bin
export QT_QPA_PLATFORM=offscreen
for p in corvanel corvanel-eval corvanel-mkworkspace corvanel-segment; do
  said=$("$bin/$p" --version) || fail "$p --version failed"
  [ "$said" = "$p $version" ] || fail "$p --version said '$said'"
  [ -s "$tmp/root/usr/share/man/man1/$p.1.gz" ] || fail "no man page for $p"
done
desktop-file-validate "$tmp/root/usr/share/applications/corvanel.desktop" || fail "desktop entry not valid"
[ -s "$tmp/root/usr/share/icons/hicolor/scalable/apps/corvanel.svg" ] || fail "no icon"

ws=$tmp/ws
"$bin/corvanel-mkworkspace" "$ws" --pages 1 --width 600 --height 800 --lines 6 --words-per-line 4 \
  --participant injected >/dev/null || fail "corvanel-mkworkspace failed"
"$bin/corvanel-segment" "$ws" >/dev/null || fail "corvanel-segment failed"
"$bin/corvanel-eval" "$ws" --page page01.tif --level lines | grep -q "FM" || fail "corvanel-eval gave no scores"
# The plot needs corvanel-eval's Qt module, found from the unpacked program.
"$bin/corvanel-eval" "$ws" --sweep 80:90:10 --plot "$tmp/curves.svg" --report "$tmp/r.txt" >/dev/null 2>"$tmp/err" ||
  { cat "$tmp/err"; fail "corvanel-eval could not draw its plot"; }
[ -s "$tmp/curves.svg" ] || fail "no plot written"
# The Python module, on Debian's python3 system path inside the package.
if [ "$python" = ON ]; then
  modules=$tmp/root/usr/lib/python3/dist-packages
  [ -s "$modules/corvanel.pyi" ] || fail "no corvanel.pyi in $modules"
  PYTHONPATH=$modules /usr/bin/python3 -c "
import corvanel
t = corvanel.Workspace('$ws').evaluate(level='lines').totals
assert t.pages == 1 and t.N > 0, t
" || fail "the Python module does not import or evaluate from the package"
fi
echo "package test: $(basename "$deb") installs and runs"
