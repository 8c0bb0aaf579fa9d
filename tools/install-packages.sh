#!/usr/bin/env bash
# Installs, from Debian's packages, whichever of the named tools are missing.
# Usage: install-packages.sh host|windows|bench ...
set -euo pipefail

need=()
for part in "$@"; do
    case "$part" in
    host)
        command -v cmake >/dev/null || need+=(cmake)
        command -v g++ >/dev/null || need+=(g++)
        command -v make >/dev/null || need+=(make)
        [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
        command -v clang-format >/dev/null || need+=(clang-format)
        ;;
    windows)
        command -v cmake >/dev/null || need+=(cmake)
        command -v make >/dev/null || need+=(make)
        command -v x86_64-w64-mingw32-g++ >/dev/null || need+=(g++-mingw-w64-x86-64)
        command -v wine >/dev/null || need+=(wine)
        [ -x /usr/lib/wine/wine64 ] || need+=(wine64)
        [ -x /usr/bin/python3 ] || need+=(python3)
        ;;
    bench)
        command -v tio >/dev/null || need+=(tio)
        command -v gnuplot >/dev/null || need+=(gnuplot-nox)
        command -v pgrep >/dev/null || need+=(procps)
        ;;
    esac
done
[ ${#need[@]} -gt 0 ] || exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${need[*]}; run as root to install them" >&2
    exit 1
fi
echo "installing: ${need[*]}"
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y "${need[@]}"
