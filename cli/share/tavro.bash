# SPDX-License-Identifier: MIT
# bash completion for tavro(1)
_tavro() {
  local cur prev words cword
  _init_completion || return
  local commands="demo login logout approve validate ls stream add wait rm restart save episode magnet torrent redact help"
  local global="--help --version --lib --json --table --verbose --settings --api-key --fake
    --api-root --timeout --connect-timeout --max-body"
  case $prev in
    --lib | --settings | --fake)
      _filedir
      return
      ;;
    --api-key | --api-root | --timeout | --connect-timeout | --max-body | --season | --episode)
      return
      ;;
  esac
  local i command=""
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      --lib | --settings | --fake | --api-key | --api-root | --timeout | --connect-timeout | \
        --max-body | --season | --episode | --state | --timeout-wait)
        ((i++))
        ;;
      -*) ;;
      *)
        command=${words[i]}
        break
        ;;
    esac
  done
  # Each command's own options, beside the global ones.
  local own=""
  case $command in
    stream) own="--url --season --episode --quality --wait-link" ;;
    add) own="--url --allow-writes --season --episode --full-season --keep-instant-only --wait --timeout-wait" ;;
    ls) own="--state" ;;
    wait) own="--url --season --episode --timeout-wait" ;;
    rm | restart | save) own="--allow-writes" ;;
    login) own="--no-qr" ;;
    approve) own="--resend" ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$global $own" -- "$cur"))
  elif [[ -z $command ]]; then
    COMPREPLY=($(compgen -W "$commands" -- "$cur"))
  elif [[ $command == ls ]]; then
    COMPREPLY=($(compgen -W "torrents torrents/ links history" -- "$cur"))
  elif [[ $command == stream ]]; then
    COMPREPLY=($(compgen -W "-" -- "$cur"))
  elif [[ $command == add || $command == torrent ]]; then
    _filedir torrent
  elif [[ $command == help ]]; then
    COMPREPLY=($(compgen -W "$commands" -- "$cur"))
  fi
}
complete -F _tavro tavro
