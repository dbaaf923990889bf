# bash completion for tavro(1)
_tavro() {
  local cur prev words cword
  _init_completion || return
  local commands="demo validate ls stream add episode magnet torrent redact"
  local options="--help --lib --json --verbose --settings --api-key --fake --api-root --timeout
    --connect-timeout --url --allow-writes --season --episode --full-season --keep-instant-only"
  case $prev in
    --lib | --settings | --fake)
      _filedir
      return
      ;;
    --api-key | --api-root | --timeout | --connect-timeout | --season | --episode)
      return
      ;;
  esac
  local i command=""
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      --lib | --settings | --fake | --api-key | --api-root | --timeout | --connect-timeout | --season | --episode)
        ((i++))
        ;;
      -*) ;;
      *)
        command=${words[i]}
        break
        ;;
    esac
  done
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
  elif [[ -z $command ]]; then
    COMPREPLY=($(compgen -W "$commands" -- "$cur"))
  elif [[ $command == ls ]]; then
    COMPREPLY=($(compgen -W "torrents" -- "$cur"))
  elif [[ $command == add || $command == torrent ]]; then
    _filedir torrent
  fi
}
complete -F _tavro tavro
