#!/bin/sh
# SPDX-License-Identifier: MIT
# Run a program with the staged install's message catalogues where the
# programs look for the installed ones, so that the translated runs never
# need the build installed into its prefix. Meant to run in a mount
# namespace of its own (unshare --mount), where what it mounts stays.
#
#   staged_catalogue.sh BUILD STAGE LOCALEDIR PROGRAM [ARG...]
#
# STAGE is a DESTDIR install of the build in the build folder BUILD;
# LOCALEDIR the folder the programs were built to look in.
#   - LOCALEDIR exists: the staged one is bound over it.
#   - It is missing below the build folder (a prefix there): its folders
#     are made, then as above.
#   - Elsewhere: the deepest folder on its way that exists is shown merged,
#     read-only, with its staged copy; nothing is written there.
set -eu
build=$1
stage=$2
localedir=$3
shift 3
staged=$stage$localedir
top=$localedir
while [ ! -d "$top" ]; do top=$(dirname "$top"); done
case "$top/" in
  "$build"/*) mkdir -p "$localedir" && top=$localedir ;;
esac
if [ "$top" = "$localedir" ]; then
  mount --bind "$staged" "$localedir"
else
  case "$build/" in
    "${top%/}"/*)
      echo "staged_catalogue.sh: $localedir is missing, and $top holds the build folder;" \
        "create $localedir or choose another prefix" >&2
      exit 125
      ;;
  esac
  mount -t overlay overlay -o "lowerdir=$stage$top:$top" "$top"
fi
exec "$@"
