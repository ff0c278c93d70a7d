#!/usr/bin/env bash
# Installs the build into a private staging folder (DESTDIR) and uses what
# landed there: the program, which must find its runner in lib/quorv; the
# fusion service; the Python module from the prefix's module folder; the node
# package in share/quorv.
#   install_test.sh BUILD_DIR SOURCE_DIR PYTHON_MODULE_DIR
set -euo pipefail
build="$1" source="$2" python_dir="$3"
prefix=/usr/local
stage="$(mktemp -d)"
trap 'rm -rf "$stage"' EXIT
fail() { echo "install test: $*" >&2; exit 1; }

DESTDIR="$stage" cmake --install "$build" --prefix "$prefix" > "$stage/install.log" || {
  cat "$stage/install.log" >&2; fail "cmake --install failed"; }
root="$stage$prefix"

[[ -x "$root/bin/quorv" ]] || fail "no $prefix/bin/quorv"
[[ -f "$root/lib/quorv/libquorv_runner.so" ]] || fail "no $prefix/lib/quorv/libquorv_runner.so"
[[ -x "$root/bin/quorv-fusion-service" ]] || fail "no $prefix/bin/quorv-fusion-service"
[[ -f "$root/share/quorv/models/catalogue.json" ]] || fail "no model catalogue in share/quorv/models"

version="$("$root/bin/quorv" --version)"
[[ "$version" == *quorv* ]] || fail "quorv --version printed: $version"
# A command that needs the runner: found in lib/quorv, none being beside the program.
"$root/bin/quorv" plan "$source/data/coffee.png" --scale 2 --tile-size 384 > "$stage/plan.txt" 2>&1 || {
  cat "$stage/plan.txt" >&2; fail "the installed quorv could not plan a run"; }
grep -q "working" "$stage/plan.txt" || fail "the plan lacks the working size: $(cat "$stage/plan.txt")"
"$root/bin/quorv" models > /dev/null || fail "the installed quorv cannot read its catalogue"
"$root/bin/quorv-fusion-service" --help > /dev/null || fail "quorv-fusion-service --help failed"

# The module and the node package, imported from the staging folder only.
node="$root/share/quorv/comfy_node"
for file in __init__.py nodes.py README.md; do
  [[ -f "$node/$file" ]] || fail "the node package lacks $file"
done
[[ ! -e "$node/tests" ]] || fail "the node package should not carry its tests"
cd "$stage"
PYTHONPATH="$root/$python_dir" PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 - "$root" "$node" <<'PY' || fail "the installed module or node package did not load"
import importlib.util, sys
import quorv
root, node = sys.argv[1:]
assert quorv.__file__.startswith(root), f"quorv came from {quorv.__file__}"
spec = importlib.util.spec_from_file_location("comfy_node", node + "/__init__.py", submodule_search_locations=[node])
package = importlib.util.module_from_spec(spec)
sys.modules["comfy_node"] = package
spec.loader.exec_module(package)
assert list(package.NODE_CLASS_MAPPINGS) == ["QuorvTiledUpscale"]
PY
echo "installed into $stage$prefix: quorv $version, module in $python_dir, node package in share/quorv"
