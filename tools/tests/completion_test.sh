#!/usr/bin/env bash
# The bash completion offers what the tool has: every subcommand of
# `ipam-sim --help`, every option of each subcommand's --help, and for ctl
# the verbs its own help names (checked against that line, so a new verb
# without completion fails here).
# Usage: completion_test.sh IPAM_SIM COMPLETION_SCRIPT
set -euo pipefail
sim=$1
# shellcheck source=/dev/null
source "$2"
complete_line() {  # words...; the last one is being completed
  COMP_WORDS=("$sim" "$@")
  COMP_CWORD=$#
  COMPREPLY=()
  _ipam_sim
  printf '%s\n' "${COMPREPLY[@]}" | sort
}
fail=0
expect_same() {  # what, expected, got
  [[ "$2" == "$3" ]] && return
  echo "$1: expected [$(echo $2)] got [$(echo $3)]"
  fail=1
}
subs=$("$sim" --help | sed -n '/^Subcommands:/,/^$/p' | awk 'NR > 1 && NF { print $1 }' | sort)
expect_same "subcommands" "$subs" "$(complete_line "")"
for sub in $subs; do
  opts=$("$sim" "$sub" --help | sed -n '/^Options:/,/^$/p' | grep -oE -- '(^|[ ,])--?[a-z][a-z0-9-]*' |
    tr -d ' ,' | sort -u)
  expect_same "$sub options" "$opts" "$(complete_line "$sub" -)"
done
# ctl: the verbs after a pid, after debug, after debug set.
ctl_help=$("$sim" ctl --help | grep -E '^ +ARGS')
for words in "1234:debug export4 export6" "1234 debug:clear get set" "1234 debug set:all api db event rsv sub"; do
  args=${words%%:*} want=${words#*:}
  # shellcheck disable=SC2086
  got=$(complete_line ctl $args "")
  expect_same "ctl $args" "$(tr ' ' '\n' <<<"$want")" "$got"
  for w in $want; do [[ $ctl_help == *"$w"* ]] || { echo "ctl --help no longer names '$w'"; fail=1; }; done
done
expect_same "ctl first word, no hosts" "list" "$(IPAM_PLATFORM_RUNDIR=/nonexistent complete_line ctl "")"
((fail == 0)) && echo "completion follows ipam-sim --help"
exit "$fail"
