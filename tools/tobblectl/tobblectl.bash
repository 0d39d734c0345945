# bash completion for tobblectl: commands, and APP / DEVICE from the running Tobble.
_tobblectl() {
    local cur=${COMP_WORDS[COMP_CWORD]} command=${COMP_WORDS[1]}
    local commands="list volume mute unmute toggle-mute hide unhide outputs output route
                    system-volume system-mute system-unmute panel --help --version"
    if ((COMP_CWORD == 1)); then
        mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
        return
    fi
    local names=()
    case $command in
        volume | mute | unmute | toggle-mute | hide | unhide)
            ((COMP_CWORD == 2)) || return
            # The second column of `list` is the id; ids never contain spaces.
            mapfile -t names < <(tobblectl list 2>/dev/null | awk 'NR > 1 { print $(NF - 4) }')
            ;;
        output)
            ((COMP_CWORD == 2)) || return
            mapfile -t names < <(tobblectl outputs 2>/dev/null | awk 'NR > 1 { print $(NF - 1) }')
            ;;
        route)
            if ((COMP_CWORD == 2)); then
                mapfile -t names < <(tobblectl list 2>/dev/null | awk 'NR > 1 { print $(NF - 4) }')
            elif ((COMP_CWORD == 3)); then
                mapfile -t names < <(tobblectl outputs 2>/dev/null | awk 'NR > 1 { print $(NF - 1) }')
                names+=(default)
            fi
            ;;
        list | outputs) names=(--json) ;;
        panel) names=(show hide toggle) ;;
    esac
    mapfile -t COMPREPLY < <(compgen -W "${names[*]}" -- "$cur")
}
complete -F _tobblectl tobblectl
