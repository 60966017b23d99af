#!/usr/bin/env bash
# Installs whatever is missing, builds the package, and runs the demo: writes the scene's inputs,
# computes the coefficients, summarizes them and draws a slice.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
out=${1:-demo-output}
.venv/bin/python scripts/demo.py "$out"
.venv/bin/orbelle-gencoeffs run "$out/spec.json" "$out/grid.h5" "$out/freqs.h5" "$out/coefficients.h5"
.venv/bin/orbelle-gencoeffs summary "$out/coefficients.h5"
.venv/bin/orbelle-gencoeffs show "$out/coefficients.h5" "$out/grid.h5" --component xx --plane z=0 \
    --output "$out/eps_xx_slice.png"
