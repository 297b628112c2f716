#!/usr/bin/env bash
# Builds talven-screenshot if needed and renders the window into docs/screenshot.png, headless.
#   tools/screenshot.sh [build-directory]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

cmake -S . -B "$build" >/dev/null
cmake --build "$build" --target talven-screenshot -j"$(nproc)"

# The form names Windows CJK fonts (黑体, 宋体, 楷体) that Linux does not have. Qt then asks
# fontconfig for a fallback that covers Han; that works only if a CJK font is installed.
if ! fc-list :lang=zh family | grep -q .; then
    echo "no Chinese font found by fontconfig: install fonts-wqy-zenhei" >&2
    exit 1
fi

mkdir -p docs
QT_QPA_PLATFORM=offscreen "$build/tools/talven-screenshot" docs/screenshot.png
echo "wrote docs/screenshot.png"
