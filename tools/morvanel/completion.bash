# bash completion for morvanel. Commands, options and the values an option takes are read from the
# tool's own --help, so the completion follows the tool; --voice offers the boxes of the script
# being rendered, as `morvanel check --json` reports them.

# "NAMES TYPE" for each option of `TOOL COMMAND --help`: NAMES like "-o,--output", TYPE the value
# type ("TEXT", "INT:INT", "TEXT:{16,24,32f}"), empty for a flag.
_morvanel_options() {
    "$1" "$2" --help 2>/dev/null |
        sed -n -E 's/^ +((-[A-Za-z0-9],)?--[A-Za-z0-9-]+)( ([^ ]+))?.*/\1 \4/p'
}

_morvanel() {
    local tool=${COMP_WORDS[0]} cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local command="" commandIndex i
    for ((i = 1; i < COMP_CWORD; i++)); do
        if [[ ${COMP_WORDS[i]} != -* ]]; then
            command=${COMP_WORDS[i]}
            commandIndex=$i
            break
        fi
    done
    if [[ -z $command ]]; then
        local commands
        commands=$("$tool" --help 2>/dev/null | sed -n -E '/^Subcommands:/,$ s/^  ([a-z][a-z0-9-]*) .*/\1/p')
        mapfile -t COMPREPLY < <(compgen -W "$commands --help" -- "$cur")
        return
    fi

    local options names valueType name takesValue=()
    options=$(_morvanel_options "$tool" "$command")
    while read -r names valueType; do
        [[ -n $valueType ]] && takesValue+=(${names//,/ })
        for name in ${names//,/ }; do
            [[ $prev == "$name" && -n $valueType ]] || continue
            if [[ $valueType == *\{*\}* ]]; then
                valueType=${valueType#*\{}
                valueType=${valueType%\}*}
                mapfile -t COMPREPLY < <(compgen -W "${valueType//,/ }" -- "$cur")
            elif [[ $name == --voice ]]; then
                mapfile -t COMPREPLY < <(compgen -W "$(_morvanel_boxes "$tool" "$commandIndex")" -- "$cur")
            elif [[ $valueType == TEXT* ]]; then
                compopt -o filenames 2>/dev/null
                mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            else
                COMPREPLY=()
            fi
            return
        done
    done <<<"$options"

    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(cut -d' ' -f1 <<<"$options" | tr ',' ' ')" -- "$cur")
        return
    fi
    # A script: .mv files and folders.
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -X '!*.mv' -- "$cur"; compgen -d -- "$cur")
}

# The box names of the first script on the command line: the first word after the command (at
# index $2) that is neither an option nor an option's value. Reads the caller's takesValue.
_morvanel_boxes() {
    local tool=$1 i word skip="" script=""
    local -A valued=()
    for word in "${takesValue[@]}"; do valued[$word]=1; done
    for ((i = $2 + 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ -n $skip ]]; then
            skip=""
        elif [[ $word == -* ]]; then
            [[ -n ${valued[$word]:-} ]] && skip=1
        else
            script=$word
            break
        fi
    done
    [[ -n $script && -r $script ]] || return
    "$tool" check --json "$script" 2>/dev/null | sed -n -E 's/^ {10}"name": "([^"]*)".*/\1/p'
}

complete -F _morvanel morvanel
