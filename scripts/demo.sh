#!/usr/bin/env bash
# Builds the project and runs the main job on the sample picture, writing into out/.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)" --target divby8_example
mkdir -p out
./build/examples/divby8_example data/coffee.png out/coffee_divby8.png 1.7
