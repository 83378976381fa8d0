# Sourced by every script (with $top set to the top of the tree): how a script answers about its
# use. Its usage is the comment at its top; --help (or -h) prints it and succeeds, and a wrong call
# prints why and the usage on stderr and fails with 2.

script=$(realpath --relative-to="$top" "$0")

# The comment at the top of the script, without its marks.
script_usage() {
  awk 'NR > 1 { if (!/^#/) exit; sub(/^# ?/, ""); print }' "$0"
}

# A script that tells more than its top comment defines its own usage after sourcing this.
usage() {
  script_usage
}

refuse() {
  {
    echo "$script: $1"
    echo
    usage
  } >&2
  exit 2
}

# Prints the usage and ends the script when one of the words asks for it.
answer_help() {
  local word
  for word; do
    if [[ $word == -h || $word == --help ]]; then
      usage
      exit 0
    fi
  done
}

# Refuses any word: for scripts that take none.
take_no_words() {
  answer_help "$@"
  (($# == 0)) || refuse "takes no arguments, not: $*"
}
