#!/usr/bin/env bash
# The server's CPU per statement from its log, for statements that took more than 0.1 s of it:
#   bench/copy/server-cpu.sh SERVER_LOG [FROM_LINE]
# with log_statement_stats = on on the cluster (ALTER SYSTEM SET log_statement_stats = on; reload).
set -euo pipefail
tail -n +"${2:-1}" "$1" | awk '
  /s user, .* s system, .* s elapsed/ { user = $2; sys = $5; elapsed = $8 }
  /STATEMENT:/ {
    if (user != "" && user + sys > 0.1) {
      sub(/.*STATEMENT:  /, "")
      printf "%6.2f s cpu %6.2f s elapsed  %s\n", user + sys, elapsed, substr($0, 1, 60)
    }
    user = ""
  }'
