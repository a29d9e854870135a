#!/usr/bin/env bash
# Installs the build into a scratch DESTDIR and checks what landed:
# install.sh BUILD_DIR CHECK_KEY
build=$1 check_key=$2
. "$(dirname "$0")/lib.sh"
set -e
dest=$work

DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null
for f in usr/bin/keygen usr/bin/keyaudit usr/share/man/man1/keygen.1.gz \
         usr/share/man/man1/keyaudit.1.gz usr/share/doc/keygen/copyright \
         usr/share/doc/keygen/changelog.gz; do
    [ -f "$dest/$f" ] || fail "$f was not installed"
done
"$dest/usr/bin/keygen" | "$check_key"
