#!/usr/bin/env bash
# Installs the Debian packages Corvanel builds and tests with. Safe to run
# again: it installs only what is missing.
set -euo pipefail

packages=(
  g++ make cmake ninja-build
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev
  libgmp-dev             # exact percent texts
  libpugixml-dev         # PAGE XML and ALTO ground truth
  libpng-dev             # PNG label images
  qt6-base-dev qt6-image-formats-plugins
  qt6-svg-dev            # corvanel-eval --plot as PNG
  libtiff-dev            # group-4 pages for the imaging tests, which Qt cannot write
  fonts-liberation2      # Arial's metrics, which the windows' fixed layout expects
  fonts-dkg-handwriting fonts-bwht fonts-dancingscript fonts-breip fonts-femkeklaver fonts-rufscript
                         # corvanel-mkworkspace's writers
  help2man dpkg-dev desktop-file-utils  # man pages, make package (dpkg-shlibdeps) and its test
  xvfb xauth libx11-dev  # the test that runs the real program under X
  xdotool imagemagick    # scripts/screenshot.sh
  clang libclang-rt-14-dev  # make fuzz: libFuzzer and clang's sanitizer runtimes
  python3 chromium       # the published site, checked in a headless browser
  python3-dev pybind11-dev python3-numpy  # the Python module
  libjpeg-dev            # its JPEG page images (libtiff and libpng above)
  python3-pytest python3-dask python3-distributed  # its tests, a Dask cluster among them
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  sudo=()
elif command -v sudo >/dev/null 2>&1; then
  sudo=(sudo)
else
  echo "install-deps: missing packages (${missing[*]}) and neither root nor sudo" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
