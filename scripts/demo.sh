#!/usr/bin/env bash
# Installs whatever is missing, builds the package, and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
.venv/bin/python scripts/demo.py "$@"
