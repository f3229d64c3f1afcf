#!/usr/bin/env bash
# The layer check fails on two source files that include each other and names
# them; the same pair talking through a header both include passes.
set -u
check="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src/scan"
printf '#pragma once\n' > "$work/src/scan/Tool.h"
printf '#include "scan/Window.h"\n' > "$work/src/scan/Tool.cpp"
printf '#pragma once\n#include "scan/Tool.h"\n' > "$work/src/scan/Window.h"
if out=$(bash "$check" "$work" 2>&1); then
    echo "a circle passed the check: $out"
    exit 1
fi
if ! grep -q 'scan/Tool and scan/Window include each other' <<<"$out"; then
    echo "the circle was not named: $out"
    exit 1
fi
printf '#pragma once\n' > "$work/src/scan/ToolHost.h"
printf '#include "scan/ToolHost.h"\n' > "$work/src/scan/Tool.cpp"
printf '#pragma once\n#include "scan/Tool.h"\n#include "scan/ToolHost.h"\n' > "$work/src/scan/Window.h"
bash "$check" "$work"
