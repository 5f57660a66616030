# bash completion for tonvell-cli                           -*- shell-script -*-
# Options after "-"; MIDI files (*.mid) as arguments, MFi files (*.mld) after
# "inspect", "decode" and "render", MIDI files after "check", folders after -o, any file after --list and --trace, the modes
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

# The folders, for -o.
_tonvell_cli_folders() {
  local IFS=$'\n'
  compopt -o filenames 2>/dev/null
  COMPREPLY=($(compgen -d -- "$cur"))
}

_tonvell_cli() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD-1]}
  COMPREPLY=()

  case ${COMP_WORDS[1]} in
    inspect|decode|render|check)
      if ((COMP_CWORD > 1)); then
        case $prev in
          -o|--output)
            _tonvell_cli_folders
            return ;;
          --soundfont)
            _tonvell_cli_files '*.[sS][fF]2'
            return ;;
          --svg)
            _tonvell_cli_files '*.[sS][vV][gG]'
            return ;;
          --voices|--loops)
            return ;;
        esac
        local options='--help' files='*.[mM][lL][dD]'
        case ${COMP_WORDS[1]} in
          inspect) options+=' --json' ;;
          decode) options+=' -o --output' ;;
          render) options+=' -o --output --soundfont --voices --loops' ;;
          check) options+=' --handset --format0 --json --svg'; files='*.[mM][iI][dD]' ;;
        esac
        if [[ $cur == -* ]]; then
          COMPREPLY=($(compgen -W "$options" -- "$cur"))
        else
          _tonvell_cli_files "$files"
        fi
        return
      fi ;;
  esac

  case $prev in
    -o|--output)
      _tonvell_cli_folders
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
  [[ $COMP_CWORD -eq 1 ]] && COMPREPLY=($(compgen -W 'inspect decode render check' -- "$cur"))
  _tonvell_cli_files '*.[mM][iI][dD]'
} &&
  complete -F _tonvell_cli tonvell-cli

# ex: filetype=sh
