#!/usr/bin/env bash
# The man page against the host it documents: its title names the host's version, every option `--help-all`
# lists is in it (a new option without a word in the man page fails here), every command has its section,
# and the page has the sections a user looks for. Where groff is installed the page must also format
# without a warning.
# Usage: ManPage.sh HOST MAN_PAGE
set -euo pipefail
host="$1"
page="$2"
failures=0
fail() {
  echo "$page: $*"
  failures=$((failures + 1))
}

# The page as text: roff's escaped hyphens and its quotes made plain.
text="$(sed -e 's/\\-/-/g' -e 's/\\(dq/"/g' "$page")"

help="$("$host" --help-all)"
options="$(grep -oE -- '(^|[ ,])--?[a-zA-Z][a-zA-Z0-9-]*' <<<"$help" | sed 's/^[ ,]//' | sort -u)"
[ "$(wc -l <<<"$options")" -gt 20 ] || fail "too few options read from $host --help-all: $options"
for option in $options; do
  grep -qE -- "(^|[^a-zA-Z0-9-])$option([^a-zA-Z0-9-]|$)" <<<"$text" || fail "no $option"
done

version="$("$host" --version | awk '{print $NF}')"
grep -qE "^\.TH VELABACKUP 1 \"[^\"]*\" \"VelaBackup $version\"" "$page" ||
  fail "the title line does not name version $version"

commands="$(sed -n '/^Subcommands:/,$p' <<<"$help" | grep -E '^[a-z]+$')"
[ -n "$commands" ] || fail "no commands read from $host --help-all"
for command in $commands; do
  grep -qE "^\.SS \"?$command " <<<"$text" || fail "no section for the command $command"
done

for section in NAME SYNOPSIS DESCRIPTION COMMANDS '"CONNECTION STRINGS"' '"EXIT STATUS"' ENVIRONMENT FILES \
  EXAMPLES; do
  grep -qxF ".SH $section" "$page" || fail "no section $section"
done
for status in 0 1 2 64; do
  sed -n '/^\.SH "EXIT STATUS"/,/^\.SH /p' "$page" | grep -qxF ".B $status" || fail "no exit status $status"
done
for variable in PGPASSWORD TMPDIR LANG LC_MESSAGES COLUMNS VELA_PG_BINDIR; do
  sed -n '/^\.SH ENVIRONMENT/,/^\.SH /p' "$page" | grep -qw "$variable" || fail "no variable $variable"
done

if command -v groff >/dev/null; then
  warnings="$(groff -man -Tutf8 -ww -z "$page" 2>&1)"
  [ -z "$warnings" ] || fail "groff warns: $warnings"
fi
exit $((failures > 0))
