#!/usr/bin/env bash
# Runs every test. As root it first installs what is missing from Debian's
# packages. Then: the host tests (program code on the platform stand-in,
# under ASan and UBSan), and the Windows .exe built with MinGW-w64 and tested
# end to end under Wine.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-packages.sh host windows
cmake --workflow --preset host --fresh
cmake --workflow --preset windows --fresh
