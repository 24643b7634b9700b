# shellcheck shell=bash
# The stand-ins the scripts put into a bundle or an account, written in one place: sourced,
# never run.
#
#   write_info_json BUNDLE PORT       BUNDLE/Info.json naming PORT as the server's port
#   write_runtime BUNDLE BODY         BUNDLE's runtime (Resources/runtime/bin/node) becomes a shell
#                                     script running BODY, in place of Node.js
#   recording_xdg_open DIR FILE       write DIR/xdg-open: it appends its arguments as a line to
#                                     $XDG_OPEN_RECORD, else FILE; no browser starts

write_info_json() {
    printf '{ "TarvessaServerPort": %d }\n' "$2" >"$1/Info.json"
}

write_runtime() {
    local runtime=$1/Resources/runtime/bin/node
    mkdir -p "${runtime%/*}"
    rm -f "$runtime" # it may be a link into the build's bundle: never write through it
    printf '#!/bin/sh\n%s\n' "$2" >"$runtime"
    chmod 755 "$runtime"
}

recording_xdg_open() {
    mkdir -p "$1"
    printf '#!/bin/sh\nprintf "%%s\\n" "$*" >>"${XDG_OPEN_RECORD:-%s}"\n' "$2" >"$1/xdg-open"
    chmod 755 "$1/xdg-open"
}
