# bash completion for tonvell-cli                           -*- shell-script -*-
# Options after "-"; MIDI files (*.mid) as arguments, MFi files (*.mld) after
# "inspect", "decode" and "render", MIDI files after "check" (the subcommand
# found after any options of the conversion), folders after -o, any file
# after --list, --trace and --soundfont, the modes after --overwrite. Folders
# are offered wherever files are, to walk into.

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
  # "--output=DIR" comes as "--output" "=" "DIR".
  [[ $prev == = ]] && ((COMP_CWORD > 1)) && prev=${COMP_WORDS[COMP_CWORD-2]}

  # The subcommand: the first word that is neither an option nor an option's
  # value. Any later such word is a file, as is every word after "--".
  local command= files= ended= i
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      --) ended=1; break ;;
      -o|--output|-l|--list|--title|--copyright|--overwrite|--date|--trace|--master-volume|-j|--jobs)
        ((i++))
        [[ ${COMP_WORDS[i]} == = ]] && ((i++)) ;;
      -*) ;;
      inspect|decode|render|check)
        [[ -z $files ]] && { command=${COMP_WORDS[i]}; break; }
        files=1 ;;
      *) files=1 ;;
    esac
  done

  if [[ -n $command ]]; then
    case $prev in
      -o|--output)
        _tonvell_cli_folders
        return ;;
      --soundfont)
        _tonvell_cli_files ''
        return ;;
      --overwrite)
        COMPREPLY=($(compgen -W 'ask all skip' -- "$cur"))
        return ;;
      --svg)
        _tonvell_cli_files '*.[sS][vV][gG]'
        return ;;
      --voices|--loops|--max-seconds)
        return ;;
    esac
    local options='--help' pattern='*.[mM][lL][dD]'
    case $command in
      inspect) options+=' --json' ;;
      decode) options+=' -o --output --overwrite' ;;
      render) options+=' -o --output --overwrite --soundfont --voices --loops --max-seconds' ;;
      check) options+=' --handset --format0 --json --svg'; pattern='*.[mM][iI][dD]' ;;
    esac
    if [[ $cur == -* ]]; then
      COMPREPLY=($(compgen -W "$options" -- "$cur"))
    else
      _tonvell_cli_files "$pattern"
    fi
    return
  fi

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

  if [[ $cur == -* && -z $ended ]]; then
    COMPREPLY=($(compgen -W '-o --output -l --list --title --copyright
      --no-smf-title --no-smf-copyright --copy-prohibit --format0 --overwrite --date
      --trace --trace-utf8 --handset --master-volume --no-master-volume --loop
      --no-loop -q --quiet -j --jobs --version -h --help' -- "$cur"))
    return
  fi
  # The subcommands go before any file.
  [[ -z $files$ended ]] && COMPREPLY=($(compgen -W 'inspect decode render check' -- "$cur"))
  _tonvell_cli_files '*.[mM][iI][dD]'
} &&
  complete -F _tonvell_cli tonvell-cli

# ex: filetype=sh
