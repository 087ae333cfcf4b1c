# Bash completion for merravine and its scan command.
_merravine() {
    local cur prev
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD-1]}"

    if [[ ${COMP_WORDS[1]} == scan ]]; then
        case "$prev" in
            --exclude|--protect) COMPREPLY=($(compgen -d -- "$cur")); return ;;
            --format) COMPREPLY=($(compgen -W "text json csv" -- "$cur")); return ;;
            --kinds|--min|--max|--skip|--threads) return ;;
        esac
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "--kinds --min --max --skip --exclude --protect --threads --format --help" -- "$cur"))
        else
            COMPREPLY=($(compgen -d -- "$cur"))
        fi
        return
    fi

    case "$prev" in
        --data-dir) COMPREPLY=($(compgen -d -- "$cur")); return ;;
        --port) return ;;
    esac
    if [[ $COMP_CWORD -eq 1 && $cur != -* ]]; then
        COMPREPLY=($(compgen -W "scan" -- "$cur"))
    else
        COMPREPLY=($(compgen -W "--data-dir --port --no-window --version --help" -- "$cur"))
    fi
}
complete -o filenames -F _merravine merravine
