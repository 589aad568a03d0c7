#!/bin/bash
# The Ansible collection against a fleet of three hosts on this machine, run as root by
# tools/sandbox-run.sh (root's key ring and bsign are the sandbox's): each host is a scratch
# root with its own /etc/digsig, reached through the local connection. "clean" has only signed
# programs, "unsigned" one unsigned program, "startup" an unsigned /sbin/init.
#   ansible-fleet-systemtest.sh <collection source> <digsig-check>
set -euo pipefail
work=$SANDBOX_DIR
fail() { echo "FAIL: $*" >&2; exit 1; }
export HOME=$work/ansible-home ANSIBLE_COLLECTIONS_PATH=$work/collections ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0
mkdir -p "$HOME"

ansible-galaxy collection build "$1" --output-path "$work" >/dev/null
ansible-galaxy collection install --offline -p "$work/collections" "$work"/orlis-digsig-*.tar.gz >/dev/null
(cd "$1" && ansible-lint --offline --nocolor -q) || fail "ansible-lint finds problems"

printf '%%no-protection\nKey-Type: GOST_R34.10-2012\nKey-Usage: sign\nName-Real: Fleet Signer\nExpire-Date: 0\n%%commit\n' |
    /usr/local/sbin/gpg --batch --quiet --gen-key '-&0'
key=$(/usr/local/sbin/gpg --batch --with-colons --list-secret-keys | awk -F: '$1 == "fpr" { print $10; exit }')
settings='# kept comment\nDIGSIG_ELF_MODE=0\nDIGSIG_XATTR_MODE=0\nDIGSIG_IGNORE_XATTR_KEYS=0\nDIGSIG_IGNORE_GOST2001=0\nDIGSIG_ELF_VERIFICATION_MODE=3\n'
for host in clean unsigned startup; do
    root=$work/hosts/$host
    mkdir -p "$root/etc/digsig" "$root/usr/bin" "$root/sbin"
    printf "$settings" >"$root/etc/digsig/digsig_initramfs.conf"
    : >"$root/etc/digsig/xattr_control"
    cp /usr/bin/true "$root/usr/bin/hello"
    /usr/bin/bsign --sign --kind both --key "$key" -- "$root/usr/bin/hello" >/dev/null
done
cp /usr/bin/true "$work/hosts/unsigned/usr/bin/unsigned-tool"
cp /usr/bin/true "$work/hosts/startup/sbin/init"
printf '#!/bin/sh\necho "$1" >>%s/updates.log\n' "$work" >"$work/update-stand-in"
chmod 0755 "$work/update-stand-in"

# "startup" may go on despite ordinary problems, which must not cover /sbin/init.
{
    printf 'all:\n  vars: {ansible_connection: local, ansible_python_interpreter: /usr/bin/python3, ansible_become: false,\n'
    printf '         digsig_check_program: %s, digsig_report_dir: %s}\n  hosts:\n' "$2" "$work/report"
    for host in clean unsigned startup; do
        printf '    %s: {digsig_root: %s, digsig_bootlist_update: [%s, %s]' "$host" "$work/hosts/$host" "$work/update-stand-in" "$host"
        [ "$host" != startup ] || printf ', digsig_accept_problems: true'
        printf '}\n'
    done
} >"$work/inventory.yml"
play() { # <output file> <playbook> [arguments...]; the exit status goes to $status
    status=0
    ansible-playbook -i "$work/inventory.yml" "orlis.digsig.$2" "${@:3}" >"$work/$1" 2>&1 || status=$?
}
recap() { # <output file>: the recap's lines, host and counts only
    sed -n '/^PLAY RECAP/,$p' "$work/$1" | awk 'NF > 2 && $2 == ":" { print $1, $4, $6 }'
}
settings_of() { cat "$work"/hosts/*/etc/digsig/digsig_initramfs.conf; }

play audit.out audit
[ "$status" -eq 0 ] || fail "the audit failed ($status): $(cat "$work/audit.out")"
expected='host,file,elf,xattr,verdict,needed
"clean","/usr/bin/hello","good","good","runs","no"
"unsigned","/usr/bin/hello","good","good","runs","no"
"unsigned","/usr/bin/unsigned-tool","none","none","refused","no"
"startup","/sbin/init","none","none","refused","yes"
"startup","/usr/bin/hello","good","good","runs","no"'
[ "$(cat "$work/report/fleet.csv")" = "$expected" ] || fail "fleet report: $(cat "$work/report/fleet.csv")"
[ "$(cat "$work/report/summary.csv")" = "$(printf 'host,files checked,problems,problems needed to start\n"clean",1,0,0\n"unsigned",2,1,0\n"startup",2,1,1')" ] ||
    fail "summary: $(cat "$work/report/summary.csv")"
grep -qF '"\"startup\",2,1,1"' "$work/audit.out" || fail "the summary is not printed: $(cat "$work/audit.out")"
play audit-again.out audit
[ "$(recap audit-again.out)" = "$(printf '%s changed=0 failed=0\n' clean startup unsigned)" ] || fail "the second audit: $(recap audit-again.out)"

# Check mode shows the change and writes nothing; rings: clean alone, then the other two.
before=$(settings_of)
play check.out enforce --check --diff -e digsig_elf_mode=on -e '{"digsig_rings": [1, 2]}'
[ "$(settings_of)" = "$before" ] || fail "check mode wrote the settings"
[ ! -e "$work/updates.log" ] || fail "check mode ran the boot-list update"
grep -qx -- '-DIGSIG_ELF_MODE=0' "$work/check.out" && grep -qx -- '+DIGSIG_ELF_MODE=1' "$work/check.out" ||
    fail "check mode shows no change: $(cat "$work/check.out")"

play enforce.out enforce -e digsig_elf_mode=on -e '{"digsig_rings": [1, 2]}'
[ "$status" -eq 2 ] || fail "refused hosts did not fail the run ($status)"
[ "$(cat "$work/hosts/clean/etc/digsig/digsig_initramfs.conf")" = "$(printf "$settings" | sed 's/^DIGSIG_ELF_MODE=0$/DIGSIG_ELF_MODE=1/')" ] ||
    fail "clean host's settings: $(cat "$work/hosts/clean/etc/digsig/digsig_initramfs.conf")"
for host in unsigned startup; do
    [ "$(cat "$work/hosts/$host/etc/digsig/digsig_initramfs.conf")" = "$(printf "$settings")" ] || fail "on reached $host"
    grep -q "fatal: \[$host\]: .*Not switching on: 1 programs would be refused" "$work/enforce.out" || fail "$host not refused"
done
[ "$(cat "$work/updates.log")" = clean ] || fail "boot-list updates: $(cat "$work/updates.log")"

play enforce-again.out enforce -e digsig_elf_mode=on -e '{"digsig_rings": [1, 2]}'
[ "$(recap enforce-again.out)" = "$(printf 'clean changed=0 failed=0\nstartup changed=0 failed=1\nunsigned changed=0 failed=1')" ] ||
    fail "the second run: $(recap enforce-again.out)"
[ "$(cat "$work/updates.log")" = clean ] || fail "the second run updated the boot list"
# The module alone: a malformed line naming a changed key is commented out, a missing key
# appended, the rest kept; a link below the root is refused.
mkdir -p "$work/image/etc/digsig" "$work/linked"
printf '# c\nDIGSIG_ELF_MODE = 1\nDIGSIG_ELF_VERIFICATION_MODE=3\n' >"$work/image/etc/digsig/digsig_initramfs.conf"
ln -s "$work/image/etc" "$work/linked/etc"
module() { ansible localhost -c local -e ansible_python_interpreter=/usr/bin/python3 -m orlis.digsig.digsig_settings -a "$1" >"$work/module.out" 2>&1; }
module "root=$work/image elf_mode=debug xattr_mode=off" || fail "the module failed: $(cat "$work/module.out")"
[ "$(cat "$work/image/etc/digsig/digsig_initramfs.conf")" = "$(printf '# c\n#DIGSIG_ELF_MODE = 1\nDIGSIG_ELF_VERIFICATION_MODE=3\nDIGSIG_ELF_MODE=2\nDIGSIG_XATTR_MODE=0')" ] ||
    fail "the module's merge: $(cat "$work/image/etc/digsig/digsig_initramfs.conf")"
! module "root=$work/linked elf_mode=on" && grep -q 'without following links: Not a directory' "$work/module.out" || fail "a link was followed: $(cat "$work/module.out")"
echo "PASS: Ansible fleet test"
