#!/usr/bin/env bash
# Every manual page must format without a single warning: lint_man.sh <page>...
set -euo pipefail
status=0
for page in "$@"; do
  warnings=$(groff -ww -z -man "$page" 2>&1) || status=1
  if [[ -n $warnings ]]; then
    echo "$page:" >&2
    echo "$warnings" >&2
    status=1
  fi
done
exit $status
