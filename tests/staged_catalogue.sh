#!/bin/sh
# SPDX-License-Identifier: MIT
# Run a program with the staged install's message catalogues where the
# programs look for the installed ones, so that the translated runs never
# need the build installed into its prefix. Meant to run in a mount
# namespace of its own (unshare --mount), where the merged view stays.
#
#   staged_catalogue.sh STAGE LOCALEDIR PROGRAM [ARG...]
#
# STAGE is a DESTDIR install of the build; LOCALEDIR the folder the
# programs were built to look in. The deepest folder on the way to
# LOCALEDIR that exists is shown merged, read-only, with its staged copy.
set -eu
stage=$1
localedir=$2
shift 2
top=$localedir
while [ ! -d "$top" ]; do top=$(dirname "$top"); done
if [ "$top" = / ]; then
  echo "staged_catalogue.sh: no folder on the way to $localedir exists" >&2
  exit 125
fi
mount -t overlay overlay -o "lowerdir=$stage$top:$top" "$top"
exec "$@"
