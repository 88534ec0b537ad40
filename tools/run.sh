#!/usr/bin/env bash
# The updater's main job as far as it is built: packs the embedded default
# firmware image and shows what it holds.
set -eu
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"
ensure_packages "${build_packages[@]}"
cmake --preset linux -Wno-dev >/dev/null
cmake --build --preset linux --target vximage default_image >/dev/null
exec build/linux/tools/vximage info build/linux/firmware/default.eraw
