#!/bin/sh
# Installs both packages' files into a scratch root, as the Debian packages lay them
# out, and validates them with the desktop's own tools: the desktop entry, the AppStream
# metadata against the installed tree (entry, icons), and the service's systemd unit.
#   validate-install.sh BUILD_DIR
set -eu
build=${1:?usage: validate-install.sh BUILD_DIR}
root=$(mktemp -d /tmp/tess.XXXXXX)
trap 'rm -rf "$root"' EXIT

for component in tessaline service; do
    DESTDIR=$root cmake --install "$build" --prefix /usr --component "$component" >/dev/null
done

desktop-file-validate "$root/usr/share/applications/app.tessaline.Tessaline.desktop"
appstreamcli validate --no-net --explain "$root"/usr/share/metainfo/*.metainfo.xml
appstreamcli validate-tree --no-net --explain "$root"

# Every rendered icon has the size its folder names.
for png in "$root"/usr/share/icons/hicolor/*x*/apps/tessaline.png; do
    size=$(basename "$(dirname "$(dirname "$png")")")
    file -b "$png" | grep -q "PNG image data, ${size%x*} x ${size#*x}," || {
        echo "$png is not a ${size} PNG: $(file -b "$png")" >&2
        exit 1
    }
done

# The unit's directives, with ExecStart pointed at the program installed here. Unknown
# or misspelt keys are only warnings to systemd-analyze, so any output fails too.
mkdir "$root/verify"
sed "s|^ExecStart=/usr/|ExecStart=$root/usr/|" "$root/usr/lib/systemd/system/tessaline-service.service" \
    >"$root/verify/tessaline-service.service"
if ! report=$(systemd-analyze verify --man=no "$root/verify/tessaline-service.service" 2>&1) || [ -n "$report" ]; then
    echo "$report" >&2
    exit 1
fi
# The bash completion loads and completes the commands and their options.
completion="$root/usr/share/bash-completion/completions/tessaline"
words=$(bash -c '. "$1"; for line in "tessaline st" "tessaline status --format w" "tessaline check --p"; do
    read -ra COMP_WORDS <<<"$line"; COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _tessaline; printf "%s " "${COMPREPLY[@]}"; done' _ "$completion")
[ "$words" = "status waybar --packet " ] || { echo "completion gave \"$words\"" >&2; exit 1; }

echo "installed desktop entry, metadata, icons, unit and completion are valid"
