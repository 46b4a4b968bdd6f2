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
    # bash splits "--rate=9.8M" at "=" into --rate, = and 9.8M: join them again
    local j n
    words=() cword=0
    for ((j = 0; j < ${#COMP_WORDS[@]}; j++)); do
      n=${#words[@]}
      if ((n)) && [[ (${COMP_WORDS[j]} == = && ${words[n - 1]} == --rate) ||
        ${words[n - 1]} == --rate= ]]; then
        words[n - 1]+=${COMP_WORDS[j]}
      else
        words+=("${COMP_WORDS[j]}")
      fi
      ((j == COMP_CWORD)) && cword=$((${#words[@]} - 1))
    done
    cur=${words[cword]}
  fi
  COMPREPLY=()
  local rates="10080000 2788800 2520000 1411200"

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
      [[ $word == --rate=* ]] && given+=(--rate=)
    else
      in_options=0
      operands=$((operands + 1))
    fi
  done

  # --rate=BITRATE: the usual DVD, SVCD and VCD rates after the "="
  if ((in_options)) && [[ $cur == --rate=* ]]; then
    local value=${cur#--rate=} prefix=
    # readline completes the text after the "=" when "=" breaks words
    [[ $COMP_WORDBREAKS == *=* ]] || prefix=--rate=
    mapfile -t COMPREPLY < <(compgen -P "$prefix" -W "$rates" -- "$value")
    compopt -o nosort 2>/dev/null
    return
  fi

  if ((in_options)) && [[ $cur == -* ]]; then
    # An option given twice is refused, so each is offered once; --check,
    # --fix and --rate= do not go together, so none is offered after another.
    [[ " ${given[*]} " == *" --check "* ]] && given+=(--fix --rate=)
    [[ " ${given[*]} " == *" --fix "* ]] && given+=(--check --rate=)
    [[ " ${given[*]} " == *" --rate= "* ]] && given+=(--check --fix)
    local option offer=()
    for option in --help -h --version --resync --past-end --check --fix --json --join --rate= \
      --quiet -q --; do
      [[ " ${given[*]} " == *" $option "* ]] || offer+=("$option")
    done
    mapfile -t COMPREPLY < <(compgen -W "${offer[*]}" -- "$cur")
    # --rate= takes its value in the same word: no space after it
    [[ ${#COMPREPLY[@]} == 1 && ${COMPREPLY[0]} == *= ]] && compopt -o nospace 2>/dev/null
    return
  fi

  # --check, --fix, --rate= and --join take one FILE or more, files or folders,
  # and no BITRATE; otherwise FILE and then BITRATE.
  local several=0
  for word in --check --fix --rate= --join; do
    [[ " ${given[*]} " == *" $word "* ]] && several=1
  done
  if ((!several)); then
    case $operands in
      0) ;;
      1) # BITRATE: the usual DVD, SVCD and VCD rates
        mapfile -t COMPREPLY < <(compgen -W "$rates" -- "$cur")
        compopt -o nosort 2>/dev/null
        return
        ;;
      *) return ;;
    esac
  fi

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
