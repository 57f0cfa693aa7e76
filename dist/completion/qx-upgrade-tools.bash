# bash completion for udtool and device-sim. The options come from the tools' own --help at
# completion time, so an option added to a tool completes without an edit here. Installed once
# per tool name (bash-completion loads completions/<command> on first use).

# Prints the options a help text lists, one "OPTION METAVAR" line each (METAVAR may be empty):
# the indented option lines ("  -o, --output OUT   ...") and the bracketed ones of the usage
# lines ("[--json]").
_qx_help_options() {
  local line word meta
  while IFS= read -r line; do
    case $line in
      usage:* | "       "[a-z]*)
        local rest=$line
        while [[ $rest =~ \[(-[-a-zA-Z0-9]+)\] ]]; do
          printf '%s \n' "${BASH_REMATCH[1]}"
          rest=${rest#*"${BASH_REMATCH[0]}"}
        done
        ;;
      " "*-*)
        [[ $line =~ ^\ +(-[a-zA-Z0-9])?(,\ )?(--[a-zA-Z0-9][-a-zA-Z0-9]*)?(\ ([A-Z][A-Z:_=@]*))? ]] ||
          continue
        meta=${BASH_REMATCH[5]}
        for word in "${BASH_REMATCH[1]}" "${BASH_REMATCH[3]}"; do
          [[ -n $word ]] && printf '%s %s\n' "$word" "$meta"
        done
        ;;
    esac
  done
}

# Prints the subcommands that a tool's --help lists under "commands:", the first word of each
# indented line there.
_qx_help_commands() {
  local line in_commands=0
  while IFS= read -r line; do
    if [[ $line == commands:* ]]; then
      in_commands=1
    elif [[ $in_commands == 1 && $line =~ ^\ +([a-z][-a-z0-9]*)(\ |$) ]]; then
      printf '%s\n' "${BASH_REMATCH[1]}"
    elif [[ $in_commands == 1 && -z $line ]]; then
      in_commands=0
    fi
  done
}

_qx_tool() {
  local tool=${COMP_WORDS[0]} cur=${COMP_WORDS[COMP_CWORD]} prev=""
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  COMPREPLY=()
  if ((COMP_CWORD == 1)); then
    local help words
    help=$("$tool" --help 2>/dev/null)
    if [[ $cur == -* ]]; then
      words="--help"
      [[ $help == *--version* ]] && words+=" --version"
    else
      words=$(_qx_help_commands <<<"$help" | sort -u)
    fi
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$cur")
    return 0
  fi
  local command=${COMP_WORDS[1]} i
  # After "--" the words belong to the command run in the device: nothing to offer here.
  for ((i = 2; i < COMP_CWORD; i++)); do
    [[ ${COMP_WORDS[i]} == -- ]] && return 0
  done
  local options
  options=$("$tool" "$command" --help 2>/dev/null | _qx_help_options)
  # The argument of an option that takes one: host files for a path, nothing to guess else.
  local option meta
  while read -r option meta; do
    if [[ -n $meta && $prev == "$option" ]]; then
      case $meta in
        DIR) mapfile -t COMPREPLY < <(compgen -d -- "$cur") ;;
        *PATH* | *FILE* | OUT | HOST:*) mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
      esac
      return 0
    fi
  done <<<"$options"
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$(cut -d' ' -f1 <<<"$options" | sort -u)" -- "$cur")
  elif [[ $tool == udtool || $command == upgrade ]]; then
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
  return 0
}

complete -F _qx_tool -o filenames udtool device-sim
