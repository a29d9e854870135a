#!/usr/bin/env bash
# Two clean clones of HEAD, in different folders and built under different
# time zones, locales, umasks, users, host names, clocks, job counts and
# orders of listing files, must give the same Debian package bit for bit.
# Both take SOURCE_DATE_EPOCH from the last commit, as a verifier would.
set -euo pipefail

if [ "${1:-}" = build ]; then  # reproducible.sh build SOURCE BUILD JOBS: what ships, packaged
    cmake -S "$2" -B "$3" -DBUILD_TESTING=OFF -DKEYGEN_WERROR=ON
    cmake --build "$3" -j"$4"
    cd "$3" && cpack -G DEB
    exit
fi

root=$(cd "$(dirname "$0")/.." && pwd)
rev=$(git -C "$root" rev-parse HEAD)
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct)
work=$(mktemp -d "${TMPDIR:-/tmp}/reproducible.XXXXXX")
shuffled=$work/second/parent
cleanup() {
    if mountpoint -q "$shuffled" 2>/dev/null; then
        fusermount -u "$shuffled" 2>/dev/null || fusermount -uz "$shuffled"
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
mkdir -p "$work/first" "$shuffled" "$work/shuffled-backing"

# The variations beyond folder, time zone, locale, umask and job count need a
# tool or a privilege; each is used where it is to be had, and said if not.
# The second build's whole tree, staging folder included, lists its entries
# in a random order.
if command -v disorderfs >/dev/null &&
        disorderfs --shuffle-dirents=yes "$work/shuffled-backing" "$shuffled" >/dev/null 2>&1; then
    echo "file order: shuffled in the second build"
else
    echo "file order: not varied (no disorderfs mount)"
fi
# A locale with other month names, collation and digits, built in the
# scratch folder rather than on the system.
mkdir -p "$work/locales"
if localedef -i fr_FR -f UTF-8 "$work/locales/fr_FR.UTF-8" >/dev/null 2>&1; then
    locale=fr_FR.UTF-8
else
    locale=C.UTF-8
fi
# The first build runs as nobody, the second as the caller.
first_user=$(id -un) as_nobody=()
if [ "$(id -u)" -eq 0 ] && id nobody >/dev/null 2>&1; then
    first_user=nobody
    as_nobody=(setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups)
else
    echo "user: not varied (not root)"
fi
# The second build runs 400 days later on another host name.
later=()
if command -v faketime >/dev/null; then later=(faketime -f +400d); else echo "clock: not varied (no faketime)"; fi
host=()
if unshare --uts true 2>/dev/null; then
    host=(unshare --uts sh -c 'hostname second-builder && exec "$@"' sh)
else
    echo "host name: not varied (no UTS namespace)"
fi

clone() {  # clone FOLDER: a clean clone of HEAD
    git clone -q --no-checkout "$root" "$1"
    git -C "$1" checkout -q --detach "$rev"
}
# build NAME SOURCE BUILD JOBS UMASK VAR=VALUE... [WRAPPER...]: the clone's
# own build step with that environment and nothing else of the caller's.
build() {
    local name=$1 src=$2 out=$3 jobs=$4 mask=$5 status=0
    shift 5
    (umask "$mask" && env -i PATH="$PATH" SOURCE_DATE_EPOCH="$SOURCE_DATE_EPOCH" "$@" \
        bash "$src/.ci/reproducible.sh" build "$src" "$out" "$jobs") >"$work/$name.log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then tail -40 "$work/$name.log"; echo "FAIL: the $name build failed"; exit 1; fi
}

clone "$work/first/keygen"
if [ "$first_user" = nobody ]; then
    chmod 755 "$work"
    chown -R nobody:"$(id -gn nobody)" "$work/first"
fi
echo "first: $work/first/keygen, built inside it; UTC, C, umask 022, 2 jobs, $first_user"
build first "$work/first/keygen" "$work/first/keygen/build" 2 022 \
    TZ=UTC LC_ALL=C LANG=C HOME="$work/first" USER="$first_user" LOGNAME="$first_user" "${as_nobody[@]}"

clone "$shuffled/src"
echo "second: $shuffled/src, built beside it; UTC+14, $locale, umask 002, 1 job, $(id -un)"
build second "$shuffled/src" "$shuffled/build-elsewhere" 1 002 \
    TZ=Pacific/Kiritimati LC_ALL="$locale" LANG="$locale" LANGUAGE=fr LOCPATH="$work/locales" \
    HOME="$shuffled" USER="$(id -un)" LOGNAME="$(id -un)" "${host[@]}" "${later[@]}"

first=$(ls "$work"/first/keygen/build/*.deb)
second=$(ls "$shuffled"/build-elsewhere/*.deb)
if ! cmp "$first" "$second"; then
    if command -v diffoscope >/dev/null; then
        diffoscope "$first" "$second" || true
    else
        for side in first second; do
            mkdir -p "$work/ar/$side" "$work/tree"
            (cd "$work/ar/$side" && ar x "${!side}")
            dpkg-deb -R "${!side}" "$work/tree/$side"
        done
        for member in $(ar t "$first"); do
            cmp -s "$work/ar/first/$member" "$work/ar/second/$member" || echo "member $member differs"
        done
        diff <(dpkg-deb -c "$first") <(dpkg-deb -c "$second") || true
        diff -r "$work/tree/first" "$work/tree/second" || true
    fi
    echo "FAIL: the two builds give different packages"
    exit 1
fi

# The package carries the date it was given and no other.
expected=$(TZ=UTC date -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S')
times=$(dpkg-deb --fsys-tarfile "$first" | TZ=UTC tar -tv --full-time | awk '{print $4, $5}' | sort -u)
[ "$times" = "$expected" ] || { echo "FAIL: file times are $times, not $expected"; exit 1; }
month=$(LC_ALL=C date -u -d "@$SOURCE_DATE_EPOCH" '+%B %Y')
titles=$(dpkg-deb --fsys-tarfile "$first" | tar -xO --wildcards './usr/share/man/man1/*.1.gz' |
         gunzip | grep '^\.TH ')
if grep -vqF "\"$month\"" <<<"$titles"; then
    echo "FAIL: a man page is not dated $month: $titles"
    exit 1
fi

echo "identical: $(basename "$first"), $(stat -c %s "$first") bytes, sha256 $(sha256sum "$first" | cut -d' ' -f1)"
