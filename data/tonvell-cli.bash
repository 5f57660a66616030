# bash completion for tonvell-cli                           -*- shell-script -*-
# Options after "-"; MIDI files (*.mid) as arguments, MFi files (*.mld) after
# "inspect", folders after -o, any file after --list and --trace, the modes
# after --overwrite. Folders are offered wherever files are, to walk into.

# Adds the files that match the pattern $1 (any file when it is empty) and
# the folders to COMPREPLY.
_tonvell_cli_files() {
  local IFS=$'\n'
  compopt -o filenames 2>/dev/null
  if [[ -n $1 ]]; then
    COMPREPLY+=($(compgen -d -- "$cur") $(compgen -f -X "!$1" -- "$cur"))
  else
    COMPREPLY+=($(compgen -f -- "$cur"))
  fi
}

_tonvell_cli() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD-1]}
  COMPREPLY=()

  if [[ ${COMP_WORDS[1]} == inspect && $COMP_CWORD -gt 1 ]]; then
    if [[ $cur == -* ]]; then
      COMPREPLY=($(compgen -W '--help' -- "$cur"))
    else
      _tonvell_cli_files '*.[mM][lL][dD]'
    fi
    return
  fi

  case $prev in
    -o|--output)
      local IFS=$'\n'
      compopt -o filenames 2>/dev/null
      COMPREPLY=($(compgen -d -- "$cur"))
      return ;;
    -l|--list|--trace)
      # "-" is standard input (--list) or standard error (--trace).
      COMPREPLY=($(compgen -W '-' -- "$cur"))
      _tonvell_cli_files ''
      return ;;
    --overwrite)
      COMPREPLY=($(compgen -W 'ask all skip' -- "$cur"))
      return ;;
    --title|--copyright|--date|-j|--jobs|--master-volume)
      return ;;
  esac

  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W '-o --output -l --list --title --copyright
      --no-smf-title --no-smf-copyright --copy-prohibit --format0 --overwrite --date
      --trace --trace-utf8 --handset --master-volume --no-master-volume --loop
      --no-loop -q --quiet -j --jobs --version -h --help' -- "$cur"))
    return
  fi
  [[ $COMP_CWORD -eq 1 ]] && COMPREPLY=($(compgen -W 'inspect' -- "$cur"))
  _tonvell_cli_files '*.[mM][iI][dD]'
} &&
  complete -F _tonvell_cli tonvell-cli

# ex: filetype=sh
