#!/usr/bin/env bash
# Runs every test: installs what it needs (as root, from Debian's packages),
# then configures, builds and runs the host tests.
set -euo pipefail
cd "$(dirname "$0")"

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing: ${need[*]} (run as root to install them)" >&2
        exit 1
    fi
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${need[@]}"
fi

cmake --workflow --preset host --fresh
