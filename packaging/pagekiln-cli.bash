# bash completion for pagekiln-cli: the commands, the options (--no-verify
# after write only, --raw after write and update), the links for
# --programmer (with the spidev devices present) and file names for write,
# update, verify, read and inspect.
_pagekiln_cli()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local word command=
    for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
        case $word in
            info | write | update | erase | unprotect | protect | verify | read | inspect | programmers)
                command=$word; break ;;
        esac
    done
    if [[ $prev == --port ]]; then
        COMPREPLY=($(compgen -W "378 278 3BC" -- "$cur"))
    elif [[ $prev == --programmer ]]; then
        local device links="lpt:378 spidev"
        for device in /dev/spidev*; do
            [[ -e $device ]] && links+=" spidev:$device"
        done
        COMPREPLY=($(compgen -W "$links" -- "$cur"))
    elif [[ $cur == -* ]]; then
        local options="--port --programmer --help --version"
        [[ $command == write ]] && options+=" --no-verify"
        [[ $command == write || $command == update ]] && options+=" --raw"
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    elif [[ -z $command ]]; then
        local commands="info write update erase unprotect protect verify read inspect programmers"
        COMPREPLY=($(compgen -W "$commands" -- "$cur"))
    elif [[ $command == write || $command == update || $command == verify || $command == read || $command == inspect ]]; then
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -F _pagekiln_cli pagekiln-cli
