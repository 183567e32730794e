#!/usr/bin/env bash
# The fleet: korlan.verify over Ansible on five hosts (one over ssh when run as
# root), its documentation and sanity tests, and korlan-verify@.service as
# systemd would run it. Usage: tests/fleet_test.sh BUILD/korlan
# shellcheck disable=SC2013,SC2086,SC2206  # host names, ssh options and a unit's words are split on purpose
set -euo pipefail
korlan=$(realpath "$1")
build=$(dirname "$korlan")
src=$(cd "$(dirname "$0")/.." && pwd)
collection=$src/contrib/ansible/ansible_collections/korlan/verify
for tool in ansible-playbook ansible-doc; do
  command -v $tool >/dev/null || { echo "SKIPPED: $tool (ansible-core) is not installed"; exit 0; }
done
tmp=$(mktemp -d)
sshd_pid=
trap '[ -z "$sshd_pid" ] || kill "$sshd_pid"; rm -rf "$tmp"' EXIT
passed=0 failed=0 skipped=0
check() {  # check WHAT COMMAND...: counts the command's success
  if "${@:2}"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $1"; fi
}
skip() { skipped=$((skipped + 1)); echo "SKIPPED: $*"; }
export HOME=$tmp/home ANSIBLE_CONFIG=$tmp/ansible.cfg ANSIBLE_COLLECTIONS_PATH=$src/contrib/ansible \
  ANSIBLE_NOCOLOR=1 ANSIBLE_PIPELINING=1 ANSIBLE_LOCAL_TEMP=$tmp/ansible-local \
  ANSIBLE_REMOTE_TEMP=$tmp/ansible-remote ANSIBLE_SSH_ARGS='-o ControlMaster=no' \
  ANSIBLE_CALLBACKS_ENABLED=junit JUNIT_OUTPUT_DIR=$tmp/junit PATH=$tmp/bin:$PATH
mkdir -p "$HOME" "$tmp/bin" && touch "$ANSIBLE_CONFIG" && ln -s "$korlan" "$tmp/bin/korlan"
py=$(ansible-playbook --version | sed -n 's/.*python version = .*(\(.*\))$/\1/p')

# Each host's installation, its lists made by korlan; h5's holds its own program.
mktree() {
  mkdir -p "$1/bin" "$1/share/doc"
  printf 'tool of %s\n' "$1" > "$1/bin/tool" && printf 'read me\n' > "$1/share/doc/readme"
  [ -z "${2:-}" ] || { mkdir -p "$1/lib/app/bin" && cp "$korlan" "$1/lib/app/bin/korlan"; }
  korlan --make-lists "$1"
}
t=$tmp/hosts
for h in h1 h2 h3 h4; do mktree "$t/$h"; done
mktree "$t/h5" self
sed -i 's/tool/TOOL/' "$t/h3/bin/tool"   # the same size, another byte
rm "$t/h4/share/doc/readme"
snapshot() { find "$t" -printf '%p %s %T@ %m\n' | sort; }
snapshot > "$tmp/before"

hosts="h2 h3 h4 h5" ssh_host=
if [ "$(id -u)" != 0 ]; then
  skip "h1 over ssh: sshd is started only as root"
elif [ ! -x /usr/sbin/sshd ] || ! command -v ssh >/dev/null; then
  skip "h1 over ssh: /usr/sbin/sshd (openssh-server) or ssh (openssh-client) is not installed"
else
  mkdir -p "$tmp/ssh" /run/sshd
  ssh-keygen -q -t ed25519 -N '' -f "$tmp/ssh/host" && ssh-keygen -q -t ed25519 -N '' -f "$tmp/ssh/client"
  cp "$tmp/ssh/client.pub" "$tmp/ssh/authorized_keys"
  port=$("$py" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  echo "[127.0.0.1]:$port $(cat "$tmp/ssh/host.pub")" > "$tmp/ssh/known_hosts"
  /usr/sbin/sshd -D -e -p "$port" -o ListenAddress=127.0.0.1 -o HostKey="$tmp/ssh/host" \
    -o AuthorizedKeysFile="$tmp/ssh/authorized_keys" -o PidFile=none -o UsePAM=no -o StrictModes=no \
    -o PasswordAuthentication=no -o PermitRootLogin=prohibit-password 2> "$tmp/ssh/log" &
  sshd_pid=$!
  ssh_args="-o UserKnownHostsFile=$tmp/ssh/known_hosts -o StrictHostKeyChecking=yes -i $tmp/ssh/client"
  for _ in $(seq 50); do
    if ssh $ssh_args -p "$port" -o BatchMode=yes root@127.0.0.1 true 2>/dev/null; then break; fi
    sleep 0.1
  done
  hosts="h1 $hosts"
  ssh_host="h1 ansible_host=127.0.0.1 ansible_port=$port ansible_user=root ansible_ssh_common_args='$ssh_args' \
korlan_executable=$tmp/bin/korlan korlan_root=$t/h1 korlan_list=$t/h1/packing.lst korlan_sums=true"
fi
cat > "$tmp/inventory" <<EOF
[fleet:children]
remote
local
[remote]
$ssh_host
[local]
h2 korlan_root=$t/h2 korlan_manifest=$t/h2/packing.mtree
h3 korlan_root=$t/h3 korlan_list=$t/h3/packing.lst korlan_sums=true
h4 korlan_root=$t/h4 korlan_manifest=$t/h4/packing.mtree korlan_unlisted=true
h5 korlan_self=true korlan_executable=$t/h5/lib/app/bin/korlan
[bystanders]
h6 korlan_root=$t/h6 korlan_manifest=$t/h6/none ansible_connection=local
[local:vars]
ansible_connection=local
[all:vars]
ansible_python_interpreter=$py
EOF

cd "$tmp"
play() { ansible-playbook -i inventory "$collection/playbooks/verify_fleet.yml" -e korlan_hosts=fleet "$@"; }
start=$(date +%s%N)
status=0 && play -e korlan_report=fleet.jsonl > play.out 2>&1 || status=$?
wall=$((($(date +%s%N) - start) / 1000000)) junit=$(echo junit/*.xml)
check "the play ends with status 2, hosts failed (it was $status)" test "$status" = 2
recap=$(sed -n 's/^\(h[0-9]\) *:.* failed=\([0-9]*\) .*/\1=\2/p' play.out | sort | tr '\n' ' ')
want=$(for h in $hosts; do case $h in h3 | h4) echo "$h=1" ;; *) echo "$h=0" ;; esac; done | tr '\n' ' ')
check "exactly the damaged hosts' tasks failed: recap $recap, expected $want" test "$recap" = "$want"
check "a summary line per host" test "$(grep -Ec '^ *"h[0-9]: (ok|FAILED): ' play.out)" = "$(wc -w <<< "$hosts")"
check "nothing was written on any host" cmp -s before <(snapshot)
check "the report names exactly the damaged hosts and their differences" "$py" - "$t" $hosts <<'EOF'
import json, sys
top, hosts = sys.argv[1], sys.argv[2:]
records = [json.loads(line) for line in open('fleet.jsonl')]
got = {h: [(r['kind'], r.get('path')) for r in records if r['host'] == h and r['kind'] not in ('run', 'total')]
       for h in set(r['host'] for r in records)}
totals = {r['host']: (r['failed'], r['files'] > 0) for r in records if r['kind'] == 'total'}
want = {h: [] for h in hosts}
want.update(h3=[('checksum', top + '/h3/bin/tool')], h4=[('missing', top + '/h4/share/doc/readme')])
bad = got != want or totals != {h: (len(want[h]), True) for h in hosts}
sys.exit(bad and 'report:\n' + ''.join(open('fleet.jsonl')))
EOF
status=0 && play -e korlan_report=check.jsonl --check --limit h4 > check.out 2>&1 || status=$?
check "check mode runs the same verification (status $status)" \
  test "$status:$(grep -v '"run"' check.jsonl)" = "2:$(grep '"h4"' fleet.jsonl | grep -v '"run"')"

# The module alone, with programs that write the records to come.
module() {  # module ARGS-JSON: the module's result as JSON
  echo "{\"ANSIBLE_MODULE_ARGS\": $1}" > args.json
  "$py" "$collection/plugins/modules/verify.py" args.json || true
}
printf '#!/bin/sh\necho "%s"\necho "%s"\necho "%s"\necho "%s"\nexit 2\n' \
  '{\"kind\":\"run\",\"version\":\"1.0\",\"root\":\"/r\",\"list\":\"/r/l\",\"host\":\"x\",\"start\":\"s\",\"signer\":\"\"}' \
  '{\"kind\":\"size\",\"path\":\"/r/a\",\"expected\":\"1\",\"actual\":\"2\",\"reason\":\"\",\"package\":\"p\"}' \
  '{\"kind\":\"later\",\"path\":\"/r/b\"}' '{\"kind\":\"total\",\"failed\":1,\"files\":4}' > bin/later
printf '#!/bin/sh\necho "{\\"kind\\":\\"error\\",\\"message\\":\\"list not signed\\"}"\necho other >&2\nexit 255\n' \
  > bin/refused
chmod +x bin/later bin/refused
module "{\"root\": \"/r\", \"list\": \"/r/l\", \"executable\": \"$tmp/bin/later\", \"fail_on_difference\": false,
         \"_ansible_check_mode\": true}" > later.json
module "{\"root\": \"/r\", \"list\": \"/r/l\", \"executable\": \"$tmp/bin/refused\"}" > refused.json
module "{\"root\": \"$t/h2\", \"list\": \"$t/none\"}" > none.json
check "the module returns the run record and passes other kinds through, and refusals say why" "$py" - "$tmp" <<'EOF'
import json, sys
later, refused, none = (json.load(open(n + '.json')) for n in ('later', 'refused', 'none'))
sys.exit(not (later['run']['host'] == 'x' and [d['kind'] for d in later['differences']] == ['size', 'later']
              and later['differences'][0]['package'] == 'p' and later['failed_comparisons'] == 1
              and not later.get('failed') and later['changed'] is False
              and refused['failed'] and refused['msg'] == 'list not signed' and refused['rc'] == 255
              and none['failed'] and none['rc'] == 255 and none['msg'] == "can't open " + none['cmd'][-1]
              and none['cmd'][:3] == [sys.argv[1] + '/bin/korlan', '--json', '--strict'])
         and 'results:\n%s\n%s\n%s' % (later, refused, none))
EOF

# The module's cost on a host: its run against the program's own, on h2.
"$py" - "$py" "$collection/plugins/modules/verify.py" "$t/h2" "$junit" <<'EOF'
import json, subprocess, sys, time, xml.etree.ElementTree as ET
py, module, root, junit = sys.argv[1:5]
with open('args.json', 'w') as f:
    json.dump({'ANSIBLE_MODULE_ARGS': {'root': root, 'manifest': root + '/packing.mtree'}}, f)
def best(cmd):
    times = []
    for _ in range(5):
        start = time.perf_counter()
        subprocess.run(cmd, stdout=subprocess.DEVNULL, check=False)
        times.append(time.perf_counter() - start)
    return min(times)
own = best(['korlan', '--json', '--strict', '--mtree', root, root + '/packing.mtree'])
mod = best([py, module, 'args.json'])
tasks = [float(c.get('time')) for c in ET.parse(junit).iter('testcase') if ': Verify the installation ' in c.get('name')]
print('figures: korlan alone %.3f s; the module on the host %.3f s, overhead %.3f s per host (allowed 0.5 s);'
      " the play's task, its hosts at once, %.3f to %.3f s to each host's result" % (own, mod, mod - own, min(tasks), max(tasks)))
EOF
echo "figures: the play of $(wc -w <<< "$hosts") hosts took $wall ms"

docs=$(ansible-doc korlan.verify.verify 2>&1) || true
check "ansible-doc renders the module's options, examples and return values" \
  grep -qzE 'fail_on_difference.*EXAMPLES.*RETURN VALUES.*failed_comparisons' <<< "$docs"

# ansible-test sanity needs the collection under ansible_collections/ in git;
# the tests that install their requirements from the network cannot run here.
if command -v ansible-test >/dev/null && command -v git >/dev/null; then
  mkdir -p at/ansible_collections/korlan && cp -r "$collection" at/ansible_collections/korlan/
  cd at/ansible_collections/korlan/verify && git init -q && git add -A
  version=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  ran='' offline=''
  for test in $(PATH=$(dirname "$py"):$PATH ansible-test sanity --list-tests 2>/dev/null); do
    if PATH=$(dirname "$py"):$PATH ansible-test sanity --python "$version" --test "$test" > "$tmp/sanity.log" 2>&1; then
      ran="$ran $test"
    elif grep -qE 'does not have pip available|Download failed' "$tmp/sanity.log"; then
      offline="$offline $test"
    else
      cat "$tmp/sanity.log" && check "ansible-test sanity --test $test" false
    fi
  done
  cd "$tmp"
  echo "ansible-test sanity ran:$ran"
  [ -z "$offline" ] || skip "ansible-test sanity tests that install their requirements from the network:$offline"
  check "ansible-test sanity ran tests" test -n "$ran"
else
  skip "ansible-test sanity: ansible-test or git is not installed"
fi

# The units as installed, their program the prefix's bin/korlan, and the
# service's command line as systemd runs it for an instance naming a tree.
units=$tmp/prefix/lib/systemd/system
if [ -w "$build" ] && [ -f "$build/cmake_install.cmake" ]; then
  cmake --install "$build" --component systemd --prefix "$tmp/prefix" > /dev/null
else
  skip "cmake --install of the units: $build is no build directory this user may write; contrib's units used"
  mkdir -p "$units" && cp "$src"/contrib/systemd/korlan-verify@.* "$units"
  sed -i "s|@CMAKE_INSTALL_PREFIX@|$tmp/prefix|" "$units/korlan-verify@.service"
fi
mkdir -p prefix/bin && ln -s "$korlan" prefix/bin/korlan
unit() {  # unit TOP [PREFIX...]: runs ExecStart for the instance naming TOP, without a .conf
  local word var args=() f=$1
  for word in $(sed -n 's/^Environment=//p' "$units/korlan-verify@.service"); do declare "${word//%f/$f}"; done
  for word in $(sed -n 's/^ExecStart=//p' "$units/korlan-verify@.service"); do
    if [[ $word =~ ^\$\{([A-Z]+)\}$ ]]; then var=${BASH_REMATCH[1]} && args+=("${!var}")
    elif [[ $word =~ ^\$([A-Z]+)$ ]]; then var=${BASH_REMATCH[1]} && args+=(${!var})
    else args+=("$word"); fi
  done
  "${@:2}" "${args[@]}" > unit.out
}
mktree "$tmp/unit"
caps=()
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
  # What CapabilityBoundingSet= and NoNewPrivileges= leave root: a file of
  # another owner, mode 0600, read all the same; without the capability, not.
  chown 65534 "$tmp/unit/bin/tool" && chmod 600 "$tmp/unit/bin/tool" && korlan --make-lists "$tmp/unit"
  status=0 && unit "$tmp/unit" setpriv --no-new-privs --inh-caps=-all --bounding-set=-all || status=$?
  check "without CAP_DAC_READ_SEARCH the file is unreadable (status $status)" test "$status" = 2
  bound=$(sed -n 's/^CapabilityBoundingSet=//p' "$units/korlan-verify@.service" | tr '[:upper:]' '[:lower:]' | sed 's/ *cap_/,+/g')
  caps=(setpriv --no-new-privs --inh-caps=-all --bounding-set=-all"$bound")
else
  skip "the unit's capabilities: setpriv and root are needed to drop them"
fi
status=0 && unit "$tmp/unit" "${caps[@]}" || status=$?
check "the service's command on a clean tree ends with 0 (it was $status)" test "$status:$(tail -n +2 unit.out)" = \
  "0:$(korlan --json --strict --mtree "$tmp/unit" "$tmp/unit/packing.mtree" | tail -n +2)"
rm "$tmp/unit/share/doc/readme"
status=0 && unit "$tmp/unit" "${caps[@]}" || status=$?
check "the service's command on a damaged tree ends with 2, its records JSON (it was $status)" \
  "$py" -c 'import json, sys; sys.exit(sys.argv[1] != "2" or [json.loads(l)["kind"] for l in open("unit.out")][:2] != ["run", "missing"])' "$status"
if command -v systemd-analyze >/dev/null; then
  instance=$(systemd-escape --path "$tmp/unit")
  said=$(systemd-analyze verify --man=no "$units/korlan-verify@$instance.service" \
         "$units/korlan-verify@$instance.timer" 2>&1) && status=0 || status=$?
  check "systemd-analyze verify finds the units sound (status $status): $said" test "$status:$said" = "0:"
else
  skip "systemd-analyze verify: systemd-analyze (systemd) is not installed"
fi

echo "fleet: $passed passed, $failed failed, $skipped skipped"
[ "$failed" = 0 ]
