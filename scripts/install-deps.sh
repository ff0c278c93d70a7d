#!/usr/bin/env bash
# Installs the Debian packages the project builds with; does nothing when all are present.
set -euo pipefail

packages=(
  cmake make g++ pkg-config ccache
  libtorch-dev libopencv-dev libvips-dev libcurl4-openssl-dev
  nlohmann-json3-dev libcpp-httplib-dev libgtest-dev libbenchmark-dev libcli11-dev
  pybind11-dev python3-dev python3-torch python3-pytest python3-numpy
  python3-distributed  # Dask: quorv.upscale fans tiles out to a cluster (example and test)
)
# npm only fetches pinned model tarballs (npm pack); any Node.js that brings it will do.
command -v npm >/dev/null || packages+=(npm)
if [[ "${1:-}" == "--fuzz" ]]; then
  packages+=(clang-14 libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
[[ "$(id -u)" -ne 0 ]] && sudo="sudo"
echo "Installing: ${missing[*]}" >&2
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
