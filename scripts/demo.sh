#!/usr/bin/env bash
# The main job: builds the command-line upscaler and the Python module
# (installing missing Debian packages first) and upscales the sample picture x2 with the demo tile
# processor, once without tile fusion and once with it (each tile's tone
# matched to its finished neighbours first). Results, previews and JSON
# reports go to out/demo/; the two seam scores are printed at the end.
# Then a learned upscaler: the esrgan-slim x2 model is fetched from the npm
# registry (4.4 MB, checked by sha256), converted to TorchScript, installed
# in the models folder and run in tiles beside a plain lanczos enlargement.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
build="${QUORV_BUILD_DIR:-build}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j"$(nproc)" --target quorv quorv_python
quorv="$build/tools/quorv/quorv"
out=out/demo
mkdir -p "$out"

# 384-pixel tiles cut the 1200 x 800 enlargement into 3 x 4 tiles.
run() {  # run NAME FUSION [OPTION...]
  "$quorv" upscale data/coffee.png -o "$out/$1.png" --overwrite --scale 2 --tile-size 384 \
    --processor demo --fusion "$2" "${@:3}" --previews "$out/previews_$1" --report "$out/report_$1.json" | tee "$out/summary_$1.txt"
  echo
}
run coffee_x2_unfused none
run coffee_x2_fused v1 --match-tone

# A learned upscaler against lanczos, both without tile work.
models_dir="${QUORV_MODELS:-${XDG_CACHE_HOME:-$HOME/.cache}/quorv/models}"
[[ -f "$models_dir/esrgan-slim-x2.pt" ]] || "$quorv" models fetch esrgan-slim-x2
"$quorv" upscale data/coffee.png -o "$out/coffee_x2_lanczos.png" --overwrite --scale 2 --fusion none -q \
  > "$out/summary_coffee_x2_lanczos.txt"
"$quorv" upscale data/coffee.png -o "$out/coffee_x2_model.png" --overwrite --scale 2 --model esrgan-slim-x2 \
  --fusion none --report "$out/report_coffee_x2_model.json" | tee "$out/summary_coffee_x2_model.txt"
echo

score() { sed -n 's/^seam score *\([0-9.]*\).*/\1/p' "$out/summary_$1.txt"; }
echo "Wrote $out/: results, previews_*/ and report_*.json; coffee_x2_lanczos.png against coffee_x2_model.png"
echo "seam score without fusion: $(score coffee_x2_unfused)"
echo "seam score with fusion:    $(score coffee_x2_fused)   (1.00 = borders as visible as before processing)"
echo "The Python module is in $build/python (PYTHONPATH=$build/python /usr/bin/python3); install everything with:"
echo "  sudo cmake --install $build --prefix /usr/local"
