# bash completion for pagekiln-cli: the commands, every option (--no-verify
# and --keep-locked after write only, --raw after write and update, --force
# after read only, --yes after page-size only), the links for --programmer
# (with the spidev devices present, the FTDI adapters by name, and ch341a)
# and file names for write, update, verify, read and inspect,
# spaces and all.
_pagekiln_cli()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local word command= options
    for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
        case $word in
            info | write | update | erase | unprotect | protect | verify | read | inspect | page-size | cable | programmers)
                command=$word; break ;;
        esac
    done
    COMPREPLY=()
    if [[ $prev == --port ]]; then
        COMPREPLY=($(compgen -W "378 278 3BC" -- "$cur"))
    elif [[ $prev == --programmer ]]; then
        local device links="lpt:378 spidev ch341a"
        for device in /dev/spidev*; do
            [[ -e $device ]] && links+=" spidev:$device"
        done
        COMPREPLY=($(compgen -W "$links" -- "$cur"))
    elif [[ $cur == -* ]]; then
        options="--port --programmer --any-port -q --quiet -h --help"
        [[ -z $command ]] && options+=" -v --version"
        [[ $command == write ]] && options+=" --no-verify --keep-locked"
        [[ $command == write || $command == update ]] && options+=" --raw"
        [[ $command == read ]] && options+=" --force"
        [[ $command == page-size ]] && options+=" --yes"
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    elif [[ -z $command ]]; then
        local commands="info write update erase unprotect protect verify read inspect page-size cable programmers"
        COMPREPLY=($(compgen -W "$commands" -- "$cur"))
    elif [[ $command == page-size ]]; then
        COMPREPLY=($(compgen -W "binary dataflash" -- "$cur"))
    elif [[ $command == write || $command == update || $command == verify || $command == read || $command == inspect ]]; then
        # One name a line, so that a name with spaces stays one word; the
        # filenames option has readline quote it.
        compopt -o filenames 2>/dev/null
        local IFS=$'\n'
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}
complete -F _pagekiln_cli pagekiln-cli
