#!/usr/bin/env bash
# Builds talven-screenshot if needed and renders the window into docs/screenshot.png, headless.
#   tools/screenshot.sh [build-directory]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

cmake -S . -B "$build" >/dev/null
cmake --build "$build" --target talven-screenshot -j"$(nproc)"

# The form names Windows faces (黑体, 宋体, 楷体); Talven stands Debian's faces of the same styles in
# for them, and the picture is only right with those installed.
for face in "Noto Sans CJK SC:fonts-noto-cjk" "AR PL UMing CN:fonts-arphic-uming" "AR PL UKai CN:fonts-arphic-ukai"; do
    if ! fc-list "${face%%:*}" family | grep -q .; then
        echo "font '${face%%:*}' not found by fontconfig: install ${face#*:}" >&2
        exit 1
    fi
done

mkdir -p docs
QT_QPA_PLATFORM=offscreen "$build/tools/talven-screenshot" docs/screenshot.png
echo "wrote docs/screenshot.png"
