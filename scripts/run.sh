#!/usr/bin/env bash
# The run command: builds the program and starts the headless front end with
# the given arguments (try --help, or --info FILE).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/build.sh default >&2
exec ./build/default/bin/zelvo-cli "$@"
