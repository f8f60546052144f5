# Bash completion of the lines program: its options, the values some of
# them take, and files.
_lines() {
  local cur prev
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD - 1]}
  case $prev in
    -t | --tail | --threads | --split | --sample | --seed)
      return
      ;;
  esac
  case $cur in
    --*=*)
      return
      ;;
    -*)
      mapfile -t COMPREPLY < <(compgen -W '--tail= --number --count --summary --json --crlf --follow
        --threads= --no-cache --raw --offsets --split= --sample= --seed= --verbose --help --version
        -t -n -c -s -f -b -v -h' -- "$cur")
      [[ ${COMPREPLY[0]-} == *= ]] && compopt -o nospace
      return
      ;;
  esac
  mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  compopt -o filenames
}
complete -F _lines lines
