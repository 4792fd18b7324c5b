# Bash completion for quorvia-convert.

_quorvia_convert()
{
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}

    # Bash splits "--to=b" into "--to", "=" and "b"; complete as after "--to".
    if [[ $prev == = ]]; then
        prev=${COMP_WORDS[COMP_CWORD-2]}
    fi
    local values=
    case $prev in
        --to) values='auto standard brinmoor' ;;
        --quality) values='original high' ;;
        --bits) values='16 24 32 float' ;;
        --rate) values='44100 48000 88200 96000' ;;
        -j | --jobs) values=$(seq 1 "$(nproc 2>/dev/null || echo 1)") ;;
    esac
    if [[ -n $values ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$values" -- "$cur")
        return
    fi
    case $prev in
        -o | --output-dir)
            compopt -o filenames
            mapfile -t COMPREPLY < <(compgen -d -- "$cur")
            return
            ;;
        -h | --help | -v | --version)
            return
            ;;
    esac

    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W '-h --help -v --version --to -o --output-dir --quality
            --bits --no-dither --rate --flac -j --jobs -q --quiet --info --peak -r --recursive -n
            --no-clobber' -- "$cur")
        return
    fi
    compopt -o filenames
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
}
complete -F _quorvia_convert quorvia-convert
