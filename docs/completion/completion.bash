# SPDX-License-Identifier: MIT
# The completion logic; make-completion.sh puts the tables it reads in front of it:
#   _marrowvane_dat_commands      the subcommands
#   _marrowvane_dat_types         the file type names
#   _marrowvane_dat_options[C]    the option spellings of subcommand C ("-" for none)
#   _marrowvane_dat_values[C:O]   what option O of subcommand C takes (TYPE, PATH, N, ...)
#   _marrowvane_dat_positionals[C] what C's positional arguments are, in order

_marrowvane_dat() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=""
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  # Bash splits "--type=Fo" into "--type" "=" "Fo"; the option is two words back.
  if [[ $prev == "=" ]] && ((COMP_CWORD > 1)); then
    prev=${COMP_WORDS[COMP_CWORD - 2]}
  elif [[ $cur == "=" ]]; then
    cur=""
  fi

  # The subcommand is the first word that is neither an option nor an option's value;
  # the words after it that are neither are its positional arguments.
  local command=- positional=0 skip=0 i word
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if ((skip > 0)); then
      ((skip--))
      continue
    fi
    case $word in
      -*=*) ;;
      -*)
        if [[ -n ${_marrowvane_dat_values["$command:$word"]+set} ]]; then
          skip=1
          [[ ${COMP_WORDS[i + 1]-} == "=" ]] && skip=2
        fi
        ;;
      *)
        if [[ $command == - ]]; then
          command=$word
        else
          ((positional++))
        fi
        ;;
    esac
  done

  local kind=${_marrowvane_dat_values["$command:$prev"]-}
  if [[ -z $kind ]]; then
    if [[ $cur == -* ]]; then
      mapfile -t COMPREPLY < <(compgen -W "${_marrowvane_dat_options[$command]-}" -- "$cur")
      return 0
    fi
    if [[ $command == - ]]; then
      mapfile -t COMPREPLY < <(compgen -W "$_marrowvane_dat_commands" -- "$cur")
      return 0
    fi
    local -a positionals
    read -r -a positionals <<<"${_marrowvane_dat_positionals[$command]-}"
    kind=${positionals[positional]-}
  fi

  COMPREPLY=()
  case $kind in
    TYPE)
      # The tool matches type names ignoring case, and so does this.
      local name
      for name in $_marrowvane_dat_types; do
        [[ ${name,,} == "${cur,,}"* ]] && COMPREPLY+=("$name")
      done
      ;;
    PATH)
      compopt -o filenames 2>/dev/null
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      ;;
    FORMAT)
      # The tool's help names them only in prose, so they are listed here.
      mapfile -t COMPREPLY < <(compgen -W "table tsv json" -- "$cur")
      ;;
    COMMAND)
      mapfile -t COMPREPLY < <(compgen -W "$_marrowvane_dat_commands" -- "$cur")
      ;;
  esac
  return 0
}

complete -F _marrowvane_dat marrowvane-dat
