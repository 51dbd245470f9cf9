#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: native suite, sanitizers, fuzzing and the
# Windows build under Wine, as far as each is set up.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bash "$here/ci/install.sh"
for step in native sanitize fuzz windows; do
    if [ -f "$here/ci/$step.sh" ]; then
        echo "=== $step"
        bash "$here/ci/$step.sh"
    fi
done
