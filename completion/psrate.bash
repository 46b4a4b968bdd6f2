# bash completion for psrate                                 -*- shell-script -*-
# SPDX-License-Identifier: MIT
# Installed as /usr/share/bash-completion/completions/psrate, where
# bash-completion loads it on the first Tab after "psrate"; it also works when
# sourced on its own.

_psrate() {
  local cur words cword
  if declare -F _get_comp_words_by_ref >/dev/null; then
    _get_comp_words_by_ref -n =: cur words cword
  else
    cur=${COMP_WORDS[COMP_CWORD]} words=("${COMP_WORDS[@]}") cword=$COMP_CWORD
  fi
  COMPREPLY=()

  # The options come first, up to a lone "--"; the first other word is FILE.
  local i word in_options=1 given=() operands=0
  for ((i = 1; i < cword; i++)); do
    word=${words[i]}
    if ((in_options)) && [[ $word == -- ]]; then
      in_options=0
    elif ((in_options)) && [[ $word == --* || $word == -h || $word == -q ]]; then
      given+=("$word")
      # -q and --quiet are one option: given once, neither is offered again
      [[ $word == -q || $word == --quiet ]] && given+=(-q --quiet)
    else
      in_options=0
      operands=$((operands + 1))
    fi
  done

  if ((in_options)) && [[ $cur == -* ]]; then
    # An option given twice is refused, so each is offered once; --check and
    # --fix do not go together, so neither is offered after the other.
    [[ " ${given[*]} " == *" --check "* ]] && given+=(--fix)
    [[ " ${given[*]} " == *" --fix "* ]] && given+=(--check)
    local option offer=()
    for option in --help -h --version --resync --past-end --check --fix --json --quiet -q --; do
      [[ " ${given[*]} " == *" $option "* ]] || offer+=("$option")
    done
    mapfile -t COMPREPLY < <(compgen -W "${offer[*]}" -- "$cur")
    return
  fi

  case $operands in
    0) ;;
    1) # BITRATE: the usual DVD, SVCD and VCD rates; --check and --fix take none
      [[ " ${given[*]} " == *" --check "* || " ${given[*]} " == *" --fix "* ]] && return
      mapfile -t COMPREPLY < <(compgen -W "10080000 2788800 2520000 1411200" -- "$cur")
      compopt -o nosort 2>/dev/null
      return
      ;;
    *) return ;;
  esac

  # FILE: streams first, then directories, then any other file. bash-completion's
  # _filedir understands quoting and "~"; without it, plain compgen.
  local name candidates=() streams=() dirs=() others=()
  if declare -F _filedir >/dev/null; then
    _filedir
    candidates=("${COMPREPLY[@]}")
  else
    mapfile -t candidates < <(compgen -f -- "$cur")
  fi
  while IFS= read -r name; do
    if [[ -d ${name/#\~/$HOME} ]]; then
      dirs+=("$name")
    else
      case ${name,,} in
        *.mpg | *.mpeg | *.vob | *.m2p | *.mpv | *.dat) streams+=("$name") ;;
        *) others+=("$name") ;;
      esac
    fi
  done < <(((${#candidates[@]})) && printf '%s\n' "${candidates[@]}" | LC_ALL=C sort)
  COMPREPLY=("${streams[@]}" "${dirs[@]}" "${others[@]}")
  compopt -o filenames -o nosort 2>/dev/null
}
complete -F _psrate psrate
