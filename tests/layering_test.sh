#!/usr/bin/env bash
# Checks that #include lines follow the module's layering:
#   host/ knows nothing of image/ or models/; models/ uses only host/;
#   inside image/ a subsystem includes only itself and lower levels; the
#   road (pipeline/) sits above the module and below the tools; nothing in
#   the module or the road includes the tools.
set -u
root="${1:-.}"
cd "$root" || exit 2

level() {  # level of a project path; empty for files outside the layered tree
  case "$1" in
    host/*) echo 0 ;;
    models/*) echo 1 ;;
    image/grid_spec.*|image/module.*) echo 1 ;;
    image/masks/*|image/measure/*) echo 2 ;;
    image/geometry/*) echo 3 ;;
    image/previews/*|image/service/*) echo 4 ;;
    image/fusion/*|image/reassembly/*) echo 5 ;;
    image/quorv_image.*) echo 6 ;;
    pipeline/*) echo 7 ;;
    tools/*|fusion_service/*|python/*|examples/*|bench/*) echo 9 ;;
  esac
}
folder() { dirname "$1"; }

status=0
while IFS= read -r file; do
  from=$(level "$file")
  [[ -z "$from" ]] && continue
  while IFS= read -r inc; do
    to=$(level "$inc")
    [[ -z "$to" ]] && continue
    if [[ "$(folder "$file")" == "$(folder "$inc")" || ( "$from" == 0 && "$to" == 0 ) ]]; then continue; fi
    if (( to >= from )) && [[ "$from" != 9 ]]; then
      echo "layering: $file includes $inc (level $to, not below $from)"
      status=1
    fi
    if [[ "$from" == 9 && "$inc" == *_internal.h ]]; then
      echo "layering: $file includes the module-internal header $inc"
      status=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(git ls-files --cached --others --exclude-standard 'host/*' 'models/*' 'image/*' 'pipeline/*' 'tools/*' 'fusion_service/*' 'python/*' 2>/dev/null || find host models image pipeline tools fusion_service python -type f)
[[ $status -eq 0 ]] && echo "layering: ok"
exit $status
