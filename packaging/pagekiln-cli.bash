# bash completion for pagekiln-cli: the commands, the options (--no-verify
# and --keep-locked after write only) and file names for write, update, verify and read.
_pagekiln_cli()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local word command=
    for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
        case $word in
            info | write | update | erase | unprotect | protect | verify | read) command=$word; break ;;
        esac
    done
    if [[ $prev == --port ]]; then
        COMPREPLY=($(compgen -W "378 278 3BC" -- "$cur"))
    elif [[ $cur == -* ]]; then
        local options="--port --help --version"
        [[ $command == write ]] && options+=" --no-verify --keep-locked"
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    elif [[ -z $command ]]; then
        COMPREPLY=($(compgen -W "info write update erase unprotect protect verify read" -- "$cur"))
    elif [[ $command == write || $command == update || $command == verify || $command == read ]]; then
        compopt -o filenames 2>/dev/null
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -F _pagekiln_cli pagekiln-cli
