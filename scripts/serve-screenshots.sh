#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Regenerates the README's pictures of the serve command: builds the tool, runs the
# pages' browser test in headless Chromium on the synthetic sample archive, and copies
# its screenshots of the entries page and of a Font's page to docs/images/.
# Needs chromium, chromium-driver, python3-selenium and python3-pytest.
# Usage: scripts/serve-screenshots.sh [BUILD_DIR]   (default: build/default)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$root/build/default}")"
cd "$root"

if [[ ! -e "$build/CMakeCache.txt" ]]; then
  cmake --preset default >/dev/null
fi
cmake --build "$build" --target marrowvane_dat_cli marrowvane_dat_make_sample
shots="$(mktemp -d)"
trap 'rm -rf "$shots"' EXIT
MARROWVANE_DAT_TOOL="$build/crates/marrowvane-dat-cli/marrowvane-dat" \
  MARROWVANE_DAT_MAKE_SAMPLE="$build/crates/marrowvane-dat-testkit/marrowvane_dat_make_sample" \
  MARROWVANE_DAT_SCREENSHOTS="$shots" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider crates/marrowvane-dat-cli/tests/browser
mkdir -p docs/images
cp "$shots/entries.png" docs/images/serve-entries.png
cp "$shots/font.png" docs/images/serve-font.png
echo "serve-screenshots: wrote docs/images/serve-entries.png and docs/images/serve-font.png"
