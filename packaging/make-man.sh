#!/usr/bin/env bash
# Makes the manual pages of the three programs from their own --help texts:
# make-man.sh OUTPUT-FOLDER PROGRAM-FOLDER VERSION. Writes vok.1.gz,
# vok-explorer.1.gz and vok-setup.1.gz, compressed reproducibly.
set -euo pipefail
out=$1 bin=$2 version=$3
mkdir -p "$out"

# Help text as literal roff: backslashes, leading dots and quotes, and hyphens escaped.
literal() {
  sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^\\./\\\\\\&./" -e "s/^'/\\\\\\&'/"
}

# header NAME SUMMARY
header() {
  printf '.TH %s 1 "" "VOK %s" "VOK system"\n' "$(echo "$1" | tr '[:lower:]' '[:upper:]')" "$version"
  printf '.SH NAME\n%s \\- %s\n' "$1" "$2"
}

# section TITLE COMMAND...: the command's help as a no-fill block under TITLE.
section() {
  local title=$1
  shift
  printf '.SS "%s"\n.nf\n' "$title"
  "$@" 2>&1 | literal
  printf '.fi\n'
}

finish() {
  gzip -9nc >"$out/$1.1.gz"
}

{
  header vok-explorer "the VOK Explorer operator program and OPC Data Access server"
  printf '.SH DESCRIPTION\n.nf\n'
  "$bin/vok-explorer" --help | literal
  printf '.fi\n.SH SEE ALSO\n\\fBvok\\fR(1), \\fBvok-setup\\fR(1)\n'
} | finish vok-explorer

{
  header vok-setup "the VOKSetup tool that finds counters and programs their sizes and calibration"
  printf '.SH DESCRIPTION\n.nf\n'
  "$bin/vok-setup" --help | literal
  printf '.fi\n.SH SEE ALSO\n\\fBvok\\fR(1), \\fBvok-explorer\\fR(1)\n'
} | finish vok-setup

{
  header vok "the command-line toolbox of the VOK system"
  printf '.SH SYNOPSIS\n\\fBvok\\fR \\fIcommand\\fR [\\fIarguments\\fR]\n.SH DESCRIPTION\n.nf\n'
  "$bin/vok" help | literal
  printf '.fi\n.SH COMMANDS\n'
  for command in ports sim query probe config opc discover; do
    section "vok $command" "$bin/vok" "$command" --help
  done
  for sub in "ports list" "ports assign" "ports remove" "config dump" "config new" \
             "opc status" "opc read" "opc write" "opc subscribe" "opc browse"; do
    # shellcheck disable=SC2086
    section "vok $sub" "$bin/vok" $sub --help
  done
  printf '.SH SEE ALSO\n\\fBvok\\-explorer\\fR(1), \\fBvok\\-setup\\fR(1)\n'
} | finish vok
