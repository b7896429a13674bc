#!/bin/sh
# Formats each man page as man shows it and fails on any message: groff's
# warnings go to standard error while man still exits with 0.
#   check-man-pages.sh PAGE...
status=0
for page in "$@"; do
  messages=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  if [ -n "$messages" ]; then
    printf '%s:\n%s\n' "$page" "$messages"
    status=1
  fi
done
exit $status
