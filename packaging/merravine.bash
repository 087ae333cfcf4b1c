# Bash completion for merravine and its scan and dedupe commands.
_merravine() {
    local cur prev
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD-1]}"

    if [[ ${COMP_WORDS[1]} == scan || ${COMP_WORDS[1]} == dedupe ]]; then
        case "$prev" in
            --exclude|--protect|--data-dir) COMPREPLY=($(compgen -d -- "$cur")); return ;;
            --format) COMPREPLY=($(compgen -W "text json csv" -- "$cur")); return ;;
            --action) COMPREPLY=($(compgen -W "delete trash hardlink reflink move:" -- "$cur")); return ;;
            --keep) COMPREPLY=($(compgen -W "first newest oldest folder-order" -- "$cur")); return ;;
            --kinds|--min|--max|--skip|--threads|--walk-threads) return ;;
        esac
        if [[ $cur == -* ]]; then
            local options="--kinds --min --max --skip --exclude --protect --threads --walk-threads --format --collapse-hardlinks --cache --no-cache --data-dir --help"
            [[ ${COMP_WORDS[1]} == dedupe ]] && options="--action --keep --protect --dry-run --help"
            COMPREPLY=($(compgen -W "$options" -- "$cur"))
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
        COMPREPLY=($(compgen -W "scan dedupe" -- "$cur"))
    else
        COMPREPLY=($(compgen -W "--data-dir --port --no-window --version --help" -- "$cur"))
    fi
}
complete -o filenames -F _merravine merravine
