#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every long option a program takes has an entry in its --help, and, where
# the manual pages were built, each page's SEE ALSO names every other
# program.
# check_dbhealth's and check_dbquery's help screens are kept as they always
# were, without --verbose; their manual pages list it instead.
#
#   help_options_test.sh MAN_DIR PROGRAM...
#
# The option list comes from the program itself: the parser answers the
# empty long option "--=" with every long name as a possibility.
set -euo pipefail
man_dir=$1
shift
export LC_ALL=C
failed=0
names=()
manual_only=(check_dbhealth:--verbose check_dbquery:--verbose)
for program in "$@"; do
  name=$(basename "$program")
  names+=("$name")
  # The ambiguity message ends the run with 3; only its list matters.
  options=$("$program" --=x 2>&1 >/dev/null | sed -n "s/.*possibilities://p" | grep -o "'--[^']*'" | tr -d "'" || true)
  if ! grep -qx -- --help <<<"$options"; then
    echo "$name: no option list from --=x" >&2
    failed=1
    continue
  fi
  help=$("$program" --help)
  for option in $options; do
    if [[ " ${manual_only[*]} " == *" $name:$option "* ]]; then
      if [[ -d "$man_dir" ]] && ! gzip -dc "$man_dir/$name.8.gz" | grep -qF -- "${option//-/\\-}"; then
        echo "$name: $option is missing from the manual page" >&2
        failed=1
      fi
    elif ! grep -Eq -- "^ (-[[:alnum:]], )?${option}([= ]|$)" <<<"$help"; then
      echo "$name: $option is missing from --help" >&2
      failed=1
    fi
  done
done

if [[ -d "$man_dir" ]]; then
  for name in "${names[@]}"; do
    page=$(gzip -dc "$man_dir/$name.8.gz")
    see_also=$(sed -n '/^\.SH "SEE ALSO"/,/^\.SH/p' <<<"$page")
    for other in "${names[@]}"; do
      [[ "$other" == "$name" ]] && continue
      if ! grep -q "^\.BR $other (8)" <<<"$see_also"; then
        echo "$name.8: SEE ALSO lacks $other" >&2
        failed=1
      fi
    done
  done
fi
exit "$failed"
