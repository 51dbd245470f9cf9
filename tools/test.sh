#!/usr/bin/env bash
# Installs what is needed, builds, and runs every test: native suite, sanitizers, fuzzing, the
# Windows build under Wine and the install and packages, as far as each is set up.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bash "$here/ci/install.sh"
for step in native sanitize fuzz windows package; do
    if [ -f "$here/ci/$step.sh" ]; then
        echo "=== $step"
        bash "$here/ci/$step.sh"
    fi
done
