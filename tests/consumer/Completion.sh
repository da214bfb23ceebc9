#!/usr/bin/env bash
# The bash completion of velabackup, called as bash calls it (COMP_WORDS, COMP_CWORD) in a shell without the
# bash-completion package, and again with it where it is installed.
# Usage: Completion.sh COMPLETION_FILE
set -eo pipefail
completion="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# A host with a shipped catalogue beside it, and files to complete.
mkdir -p "$work/bin" "$work/share/velabackup/lang" "$work/files/old-backups"
printf '#!/bin/sh\n' >"$work/bin/velabackup"
chmod +x "$work/bin/velabackup"
touch "$work/share/velabackup/lang/de.ini" "$work/files/shop.db" "$work/files/shop.vbk"

cat >"$work/cases.sh" <<CASES
export PATH="$work/bin:\$PATH"
source "$completion"
failures=0
# Completes LINE, the cursor at its end, into COMPREPLY.
complete_line() {
  local line="\$1" word
  COMP_WORDS=()
  for word in \$line; do
    # bash breaks words at '=' too.
    while [[ \$word == ?*=* ]]; do COMP_WORDS+=("\${word%%=*}" "="); word="\${word#*=}"; done
    COMP_WORDS+=("\$word")
  done
  [[ \$line == *" " || \$line == *"=" ]] && COMP_WORDS+=("")
  COMP_CWORD=\$((\${#COMP_WORDS[@]} - 1))
  COMP_LINE="\$line" COMP_POINT=\${#line}
  COMPREPLY=()
  _velabackup velabackup "\${COMP_WORDS[COMP_CWORD]}" "\${COMP_WORDS[COMP_CWORD - 1]}"
}
# The sorted candidates for LINE are EXPECTED.
expect() {
  complete_line "\$1"
  local got
  got="\$(printf '%s\n' "\${COMPREPLY[@]}" | sort -u | tr '\n' ' ' | sed 's/ \$//')"
  if [[ \$got != "\$2" ]]; then
    echo "\$mode: '\$1': expected '\$2', got '\$got'"
    failures=\$((failures + 1))
  fi
}
# The options of a command: those named are offered after "--", those after '!' are not.
expect_options() {
  complete_line "\$1 --"
  shift
  local got=" \${COMPREPLY[*]} " option absent=0
  for option in "\$@"; do
    if [[ \$option == '!' ]]; then absent=1; continue; fi
    if [[ (\$absent == 0 && \$got != *" \$option "*) || (\$absent == 1 && \$got == *" \$option "*) ]]; then
      echo "\$mode: '\$COMP_LINE': \$option wrongly \$( ((absent)) && echo offered || echo missing)"
      failures=\$((failures + 1))
    fi
  done
}

expect "velabackup " "inspect restore sample save verify"
expect "velabackup re" "restore"
expect "velabackup --help-" "--help-all"
expect "velabackup save --language de --mo" "--mode"
expect_options "velabackup save" --connection --file --mode --table --exclude-table --schema-only --level \
  --no-data --add-file --yes --no --answer --events --archive-password-file ! --json --intelligent --rows
expect_options "velabackup restore" --table --exclude-table --schema-only --intelligent --ignore-relations \
  --role --allow-plain --select-folder --yes --no ! --mode --level --add-file
expect_options "velabackup inspect" --file --json --archive-password-file ! --connection --mode --quiet
expect_options "velabackup verify" --file --no-data --password-file --quiet ! --connection --json
expect_options "velabackup sample" --connection --rows ! --file --mode
expect "velabackup save --mode " "compressed direct uncompressed"
expect "velabackup save --mode un" "uncompressed"
expect "velabackup save --mode=un" "uncompressed"
expect "velabackup save --events " "jsonl"
expect "velabackup save -Z 1" "1 10 11 12"
expect "velabackup restore --language " "de en"
expect "velabackup save -f $work/files/shop." "$work/files/shop.db $work/files/shop.vbk"
expect "velabackup save -c $work/files/s" "$work/files/shop.db $work/files/shop.vbk"
expect "velabackup restore --select-folder $work/files/" "$work/files/old-backups"
expect "velabackup save --table " ""
exit \$((failures > 0))
CASES

status=0
bash --norc --noprofile -c "mode='without bash-completion'; source '$work/cases.sh'" || status=1
if [ -f /usr/share/bash-completion/bash_completion ]; then
  bash --norc --noprofile -c "mode='with bash-completion'; source /usr/share/bash-completion/bash_completion;
    declare -F _init_completion >/dev/null || { echo 'bash-completion: no _init_completion'; exit 1; }
    source '$work/cases.sh'" || status=1
else
  echo "bash-completion is not installed: completion checked without it only"
fi
exit $status
