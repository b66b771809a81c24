# bash completion for pontor. Commands and options are read from the
# installed tool's own --help, so they never fall out of step with it.

_pontor() {
    local cur prev words cword
    if declare -F _init_completion >/dev/null; then
        _init_completion || return
    else
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD - 1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    fi
    local tool=${words[0]}

    # The command so far: one word, or two for a group ("stub create").
    local commands command="" i
    commands=$("$tool" --help 2>/dev/null | sed -n 's/^  \([a-z]\+\( [a-z]\+\)\?\) .*/\1/p' |
        sed 's/ [A-Z].*//')
    for ((i = 1; i < cword; i++)); do
        [[ ${words[i]} == -* ]] && continue
        if [[ -z $command ]]; then
            command=${words[i]}
        elif grep -qx "$command ${words[i]}" <<<"$commands"; then
            command+=" ${words[i]}"
            break
        else
            break
        fi
    done

    if [[ -z $command ]]; then
        if [[ $cur == -* ]]; then
            COMPREPLY=($(compgen -W "--help --version" -- "$cur"))
        else
            COMPREPLY=($(compgen -W "$(cut -d' ' -f1 <<<"$commands" | sort -u)" -- "$cur"))
        fi
        return
    fi
    if [[ $command != *" "* ]] && grep -q "^$command " <<<"$commands"; then
        # A group: its commands.
        COMPREPLY=($(compgen -W "$(sed -n "s/^$command //p" <<<"$commands")" -- "$cur"))
        return
    fi

    # An option that takes a value: a file for FILE, the choices a TYPE's help
    # lists after its colon, nothing for other values.
    local usage
    usage=$("$tool" $command --help 2>/dev/null)
    if [[ $prev == -* ]]; then
        local value
        value=$(sed -n "s/^ *\(-[a-z], \)\?\(--[a-z-]*\) \([A-Z]\+\) .*/\2 \3/p; s/^ *-\([a-z]\), --[a-z-]* \([A-Z]\+\) .*/-\1 \2/p" <<<"$usage" |
            awk -v o="$prev" '$1 == o { print $2 }')
        case $value in
            FILE) COMPREPLY=($(compgen -f -- "$cur")); return ;;
            TYPE)
                COMPREPLY=($(compgen -W "$(grep -e "$prev TYPE" <<<"$usage" |
                    sed 's/.*: //; s/([a-z]*)//g; s/,/ /g')" -- "$cur"))
                return
                ;;
            ?*) return ;;
        esac
    fi
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$(grep -o -- '--[a-z][a-z-]*' <<<"$usage" | sort -u)" -- "$cur"))
        return
    fi
    if [[ $command == mount ]]; then
        COMPREPLY=($(compgen -d -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -o filenames -F _pontor pontor
