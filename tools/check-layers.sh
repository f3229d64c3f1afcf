#!/usr/bin/env bash
# Fails when a source folder includes a header of a folder above it, or of
# sim/ outside app/ (the tests may include anything), and when two source
# files include each other: A.h or A.cpp includes B.h while B.h or B.cpp
# includes A.h. The order is the one of src/CMakeLists.txt;
# docs/architecture.md explains it.
set -euo pipefail
root="${1:-$(dirname "$0")/..}"
order="platform protocol sim core widgets device motion optics scan calib images files lockin spectro view3d mainwindow remote"
order+=" script navigator app"

cd "$root/src"
status=0
find . -type f \( -name '*.h' -o -name '*.cpp' \) -print0 | xargs -0 grep -HE '^\s*#\s*include\s+"[^"/]+/' |
  awk -v order="$order" '
    BEGIN { n = split(order, names, " "); for (i = 1; i <= n; ++i) rank[names[i]] = i }
    {
      file = substr($0, 3, index($0, ":") - 3)
      split(file, parts, "/"); folder = parts[1]
      inc = $0; sub(/^[^"]*"/, "", inc); split(inc, ip, "/"); target = ip[1]
      if (!(folder in rank)) { if (!(folder in told)) print file ": folder " folder "/ has no place in the layer order"; told[folder] = 1; bad = 1; next }
      if (!(target in rank)) next
      if (target == "sim" && folder != "sim" && folder != "app") { print file " includes sim/: only app/ and the tests reach the simulator"; bad = 1 }
      else if (rank[target] > rank[folder]) { print file " includes " target "/, a folder above " folder "/"; bad = 1 }
    }
    END { if (bad) exit 1; print "layers: every include points down" }' || status=1

find . -type f \( -name '*.h' -o -name '*.cpp' \) -print0 | xargs -0 grep -HE '^\s*#\s*include\s+"[^"]+\.h"' |
  awk '
    {
      file = substr($0, 3, index($0, ":") - 3); unit = file; sub(/\.(h|cpp)$/, "", unit)
      inc = $0; sub(/^[^"]*"/, "", inc); sub(/\.h".*$/, "", inc)
      if (inc != unit) edge[unit SUBSEP inc] = 1
    }
    END {
      for (e in edge) {
        split(e, p, SUBSEP)
        if (p[1] < p[2] && ((p[2] SUBSEP p[1]) in edge)) { print p[1] " and " p[2] " include each other"; bad = 1 }
      }
      if (bad) exit 1
      print "circles: no two source files include each other"
    }' || status=1
exit $status
