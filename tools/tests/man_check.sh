#!/usr/bin/env bash
# ipam-sim(1) says what `--help` says: every subcommand, every option and
# positional with its description, and every line of the help texts
# (environment, exit status, examples, scenario verbs, stdin commands) is in
# the rendered page. Whitespace and line filling may differ, nothing else.
# Usage: man_check.sh IPAM_SIM PAGE(.1 or .1.gz)
set -euo pipefail
sim=$1 page=$2
export LC_ALL=C
squeeze() { tr -s ' \t\n' '   ' | sed 's/^ //; s/ $//'; }
man_text=$(zcat -f "$page" | groff -man -Tascii -rHY=0 -rLL=400n -P-cbou 2>/dev/null | squeeze)
[[ -n $man_text ]] || { echo "$page renders to nothing"; exit 1; }
missing=0
need() {
  local want
  want=$(printf '%s' "$1" | squeeze)
  [[ -z $want || $man_text == *"$want"* ]] && return
  echo "not in the manual: [$want] (from: ipam-sim ${2:-}--help)"
  missing=1
}
check_help() {  # $1: subcommand or empty
  local line name desc
  while IFS= read -r line; do
    case $line in
      Usage:*|Options:|Positionals:|Subcommands:|*-h,--help*|'') continue ;;
      'ipam-sim: '*) line=${line#ipam-sim: } ;;  # the NAME line: "ipam-sim - ..."
    esac
    # A heading of the help's footer is a section of the page.
    if [[ $line =~ ^[A-Z][a-z\ ]*:$ ]]; then
      line=${line%:}
      need "${line^^}" "$1"
      continue
    fi
    # An option or positional row: NAME [TYPE]  description.
    if [[ $line =~ ^\ \ ([^\ ][^\ ]*)(\ [^\ ]+)*\ \ +([^\ ].*)$ ]]; then
      name=${BASH_REMATCH[1]} desc=${BASH_REMATCH[3]}
      need "$name" "$1"
      need "$desc" "$1"
    else
      need "$line" "$1"
    fi
  done < <("$sim" $1 --help)
}
check_help ""
subs=$("$sim" --help | sed -n '/^Subcommands:/,/^$/p' | awk 'NR > 1 && NF { print $1 }')
[[ -n $subs ]] || { echo "no subcommands in ipam-sim --help"; exit 1; }
for sub in $subs; do
  need "ipam-sim $sub [OPTIONS]"
  check_help "$sub "
done
((missing == 0)) || exit 1
echo "ipam-sim(1) holds every subcommand, option and help line: $(echo "$subs" | wc -w) subcommands"
