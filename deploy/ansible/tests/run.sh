#!/bin/sh
# The collection end to end: ansible-playbook configures three Debian 12 roots
# on this machine, reached with the community.general.chroot connection, each
# with emulated readers through vortal9-batch-emulated (copied in with its
# fleet file, never part of the package):
#   till-1  two readers that answer as the reference does   -> configured
#   till-2  two readers, the second set otherwise beforehand -> "differs", failed
#   till-3  no reader                                        -> ok, nothing to do
#   fresh   (check mode only) without the package            -> it would be installed
# The package is installed from the .deb by the role. Then the same play again
# (package and rule steps unchanged), once more in check mode (--check), and
# with readers required (till-3 fails). The play recap and the facts (cached
# by the jsonfile cache) are checked after each.
#
#   run.sh BUILD_DIR PACKAGE.deb BASE_ROOT
# BASE_ROOT is a minimal Debian 12 root with python3, python3-apt and the
# package's dependencies, made on first use from the minimal root that
# deb-test keeps (BASE_ROOT's parent/bookworm-minbase) and reused.
set -eu

BUILD=$(realpath "$1")
DEB=$(realpath "$2")
BASE=$3
HERE=$(cd "$(dirname "$0")" && pwd)
COLLECTION=$(dirname "$HERE")
WORK=$BUILD/ansible-test
EMULATED=$BUILD/bin/vortal9-batch-emulated
MINBASE=$(dirname "$BASE")/bookworm-minbase

fail() { echo "FAILED: $*" >&2; exit 1; }

# --- The base root, once ------------------------------------------------------
if [ ! -f "$BASE/.complete" ]; then
    echo "== making $BASE (once)"
    "$COLLECTION/../../packaging/minbase.sh" "$MINBASE"
    rm -rf "$BASE.tmp"
    cp -a "$MINBASE" "$BASE.tmp"
    cp /etc/resolv.conf "$BASE.tmp/etc/resolv.conf"
    cp "$DEB" "$BASE.tmp/tmp/package.deb"
    in_base() { chroot "$BASE.tmp" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root DEBIAN_FRONTEND=noninteractive "$@"; }
    in_base apt-get update -qq
    # The package's dependencies stay when the package itself is purged: the
    # role's install then needs no download.
    in_base apt-get install -y -qq --no-install-recommends python3 python3-apt /tmp/package.deb
    in_base dpkg --purge vortal9-setup
    in_base apt-get clean
    rm -f "$BASE.tmp/tmp/package.deb"
    touch "$BASE.tmp/.complete"
    mv "$BASE.tmp" "$BASE"
fi

# --- The hosts ------------------------------------------------------------------
test -x "$EMULATED" || fail "no $EMULATED"
rm -rf "$WORK"
mkdir -p "$WORK/facts"
cd "$WORK"

# Beep off, the next terminator, save and exit: one step per answer.
printf '141109F009F011F014FF2EF02EFF26F026FF3EF03EFF\r\n' > script.txt
reader() { # PATH USB SERIAL BEEP
    printf '{ "path": "%s", "usb": "%s", "serial": "%s", "settings": { "beep": "%s" } }' "$1" "$2" "$3" "$4"
}
fleet() { printf '{ "readers": [ %s ] }\n' "$*"; }
fleet "$(reader /dev/hidraw1 1-2.1 REF-1 ON)" > reference-fleet.json
fleet "$(reader /dev/hidraw1 1-2.1 T1-A ON), $(reader /dev/hidraw2 1-2.2 T1-B ON)" > till-1.json
fleet "$(reader /dev/hidraw1 1-2.1 T2-A ON), $(reader /dev/hidraw2 1-2.2 T2-B OFF)" > till-2.json
fleet "" > till-3.json

echo "== the reference transcript, from one emulated reader"
VORTAL9_EMULATED_FLEET=$WORK/reference-fleet.json "$EMULATED" apply script.txt --transcript reference.json \
    > /dev/null || fail "the reference transcript could not be made"

mkdir -p "$WORK/roots"
cp -a "$BASE" "$WORK/roots/fresh"
for host in till-1 till-2 till-3; do
    root=$WORK/roots/$host
    cp -a "$BASE" "$root"
    cp "$EMULATED" "$root/usr/local/bin/"
    cp "$host.json" "$root/etc/vortal9-fleet.json"
    # No udev in a chroot: a stand-in that notes each call.
    printf '#!/bin/sh\necho "$*" >> /var/log/udevadm.log\n' > "$root/usr/bin/udevadm"
    chmod +x "$root/usr/bin/udevadm"
    # The readers' USB devices as sysfs shows them (the chroot's /sys is its own).
    if [ "$host" != till-3 ]; then
        for port in 1-2.1 1-2.2; do
            mkdir -p "$root/sys/bus/usb/devices/$port"
            echo 04b4 > "$root/sys/bus/usb/devices/$port/idVendor"
            echo 210a > "$root/sys/bus/usb/devices/$port/idProduct"
        done
        mkdir -p "$root/sys/bus/usb/devices/1-3"
        echo 046d > "$root/sys/bus/usb/devices/1-3/idVendor"
        echo c31c > "$root/sys/bus/usb/devices/1-3/idProduct"
    fi
done

cat > inventory.ini <<EOF
[tills]
till-1 ansible_host=$WORK/roots/till-1
till-2 ansible_host=$WORK/roots/till-2
till-3 ansible_host=$WORK/roots/till-3

[fresh]
fresh ansible_host=$WORK/roots/fresh

[all:vars]
ansible_connection=community.general.chroot
ansible_python_interpreter=/usr/bin/python3
vortal9_package_file=$DEB
vortal9_script=$WORK/script.txt
vortal9_reference=$WORK/reference.json
vortal9_batch_command=/usr/local/bin/vortal9-batch-emulated
vortal9_batch_environment={"VORTAL9_EMULATED_FLEET": "/etc/vortal9-fleet.json"}
EOF
cat > ansible.cfg <<EOF
[defaults]
inventory = $WORK/inventory.ini
collections_path = $WORK/collections
fact_caching = jsonfile
fact_caching_connection = $WORK/facts
retry_files_enabled = False
nocolor = True
EOF
export ANSIBLE_CONFIG=$WORK/ansible.cfg

echo "== ansible-galaxy collection build and install"
ansible-galaxy collection build "$COLLECTION" --output-path "$WORK" > /dev/null
ansible-galaxy collection install "$WORK"/vortal9-readers-*.tar.gz -p "$WORK/collections" > /dev/null
PLAYBOOK=$WORK/collections/ansible_collections/vortal9/readers/playbooks/configure_readers.yml
test -f "$PLAYBOOK" || fail "the built collection has no playbooks/configure_readers.yml"

echo "== syntax and lint"
ansible-playbook --syntax-check "$PLAYBOOK" > /dev/null
if command -v ansible-lint > /dev/null; then
    (cd "$COLLECTION" && ANSIBLE_COLLECTIONS_PATH=$WORK/collections ansible-lint --offline -q roles playbooks) \
        || fail "ansible-lint"
fi

# play NAME [ansible-playbook options]: runs the playbook, keeps its output in
# NAME.log and prints the recap.
play() {
    name=$1
    shift
    start=$(date +%s)
    status=0
    ansible-playbook "$PLAYBOOK" "$@" > "$name.log" 2>&1 || status=$?
    echo "   $name: ansible-playbook ended with $status after $(($(date +%s) - start)) s"
    sed -n '/^PLAY RECAP/,$p' "$name.log" | sed 's/^/   /'
}
# recap NAME HOST "ok=N changed=N ... failed=N": the host's counts in the recap.
recap() {
    line=$(sed -n "/^PLAY RECAP/,\$s/^$2 *: *//p" "$1.log" | tr -s ' ')
    for count in $3; do
        case " $line " in *" $count "*) ;; *) fail "$1: $2 has \"$line\", not $count (see $WORK/$1.log)" ;; esac
    done
}
# facts HOST EXPRESSION: EXPRESSION holds for the host's cached facts (a
# Python expression over "readers", the list vortal9_readers).
facts() {
    python3 - "$WORK/facts/$1" "$2" <<'PY' || fail "facts of $1: $2 (see $WORK/facts/$1)"
import json, sys
readers = json.load(open(sys.argv[1]))["vortal9_readers"]
sys.exit(0 if eval(sys.argv[2], {"readers": readers}) else 1)
PY
}
# summary NAME HOST TEXT: the host's summary line says TEXT.
summary() {
    grep -q "\"msg\": \"vortal9: $3" "$1.log" || fail "$1: $2 has no summary \"vortal9: $3\""
}
udev_calls() { cat "$WORK/roots/$1/var/log/udevadm.log" 2>/dev/null || true; }

echo "== first play: installs the package, loads the rule, configures"
play first
recap first till-1 "failed=0"
recap first till-2 "failed=1"
recap first till-3 "failed=0"
facts till-1 'len(readers) == 2 and all(r["result"] == "configured" for r in readers)'
facts till-1 '[(r["path"], r["usb"], r["serial"]) for r in readers] == [("/dev/hidraw1", "1-2.1", "T1-A"), ("/dev/hidraw2", "1-2.2", "T1-B")]'
facts till-2 '[r["result"] for r in readers] == ["configured", "differs"]'
facts till-2 'readers[1]["serial"] == "T2-B" and readers[1]["step"] == 1 and readers[0]["step"] is None'
facts till-3 'readers == []'
summary first till-1 "2 of 2 readers configured"
summary first till-3 "no reader attached: ok, nothing to do"
summary first till-2 "1 of 2 readers configured; /dev/hidraw2 (USB 1-2.2, serial T2-B): differs at step 1"
grep -q 'fatal: \[till-2\]: FAILED! => {"changed": false, "msg": "1 reader(s) not configured or differing: /dev/hidraw2' first.log ||
    fail "first: till-2 did not fail with the differing reader"
for host in till-1 till-2 till-3; do
    chroot "$WORK/roots/$host" dpkg-query -W vortal9-setup > /dev/null || fail "$host: the package is not installed"
done
# The package's postinst first (it reloads and re-examines every hidraw and
# input device), then the role's own reload and trigger of the readers only.
postinst_udev="control --reload
trigger --subsystem-match=hidraw --subsystem-match=input"
expected_udev="$postinst_udev
control --reload
trigger --action=change --parent-match=/sys/bus/usb/devices/1-2.1
trigger --action=change --parent-match=/sys/bus/usb/devices/1-2.2"
[ "$(udev_calls till-1)" = "$expected_udev" ] || fail "till-1: udevadm was called with: $(udev_calls till-1)"
[ "$(udev_calls till-3)" = "$postinst_udev
control --reload" ] || fail "till-3: udevadm was called with: $(udev_calls till-3)"
first_changed=$(sed -n '/^PLAY RECAP/,$s/^till-1 .*changed=\([0-9]*\).*/\1/p' first.log)

echo "== second play: the package and the rule are as they were"
play second
# Only the summary of the readers that were configured again counts as a change.
recap second till-1 "changed=1 failed=0"
recap second till-3 "changed=0 failed=0"
recap second till-2 "failed=1"
[ "$first_changed" -gt 1 ] || fail "the first play changed only $first_changed things on till-1"
[ "$(udev_calls till-1)" = "$expected_udev" ] || fail "till-1: udev was reloaded again: $(udev_calls till-1)"

echo "== check mode: --check, nothing sent"
play check --check
recap check till-1 "changed=1 failed=0"
recap check till-3 "changed=0 failed=0"
# Nothing is sent, so nothing is compared: till-2's readers would both be configured.
recap check till-2 "changed=1 failed=0"
facts till-2 '[r["result"] for r in readers] == ["ready", "ready"]'
facts till-1 'all(r["result"] == "ready" for r in readers) and len(readers) == 2'
summary check till-1 "2 of 2 readers would be configured"
# The dry run's scratch copy of the script is gone.
[ -z "$(find "$WORK/roots/till-1/tmp" -name 'ansible.*')" ] || fail "check mode left files in till-1's /tmp"

echo "== check mode on a host without the package: nothing is installed or copied"
play fresh --check -e vortal9_hosts=fresh
recap fresh fresh "failed=0"
summary fresh fresh "the package would be installed first"
grep -q '^changed: \[fresh\]$' fresh.log || fail "fresh: nothing would change"
! chroot "$WORK/roots/fresh" dpkg-query -W vortal9-setup > /dev/null 2>&1 || fail "fresh: check mode installed the package"
[ ! -e "$WORK/roots/fresh/var/lib/vortal9-setup" ] || fail "fresh: check mode made /var/lib/vortal9-setup"

echo "== readers required"
play required -e vortal9_readers_required=true --limit till-1,till-3
recap required till-1 "failed=0"
recap required till-3 "failed=1"
summary required till-3 "no reader attached\""
grep -q 'fatal: \[till-3\]: FAILED! => {"changed": false, "msg": "no reader attached, and vortal9_readers_required is set"' \
    required.log || fail "required: till-3 did not fail for want of a reader"

echo "OK: four hosts; recap, facts, idempotence, check mode (with and without the package) and required readers as expected"
