#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright: Korlan maintainers

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

DOCUMENTATION = r'''
---
module: verify
short_description: Verify an installed file tree with Korlan
version_added: "1.0.0"
description:
  - Runs the managed host's C(korlan) program with C(--json) and returns the
    run record, every difference found and the count of comparisons.
  - Reads the tree and its lists and never changes anything, so it reports
    C(changed=false), and runs the same read-only check in check mode.
  - Fails when a comparison failed (unless C(fail_on_difference=false)) and
    when Korlan refused the run (a bad list, key, signature or command line,
    status 255) or could not find its own program (status 1), with Korlan's
    message in C(msg).
options:
  root:
    description:
      - The top of the installation to verify, the program's ROOT operand.
      - Required unless C(self=true).
    type: path
  list:
    description:
      - The packing list (lines C(SIZE ./path)) to verify C(root) against.
      - One of C(list) and C(manifest) is required unless C(self=true).
    type: path
  manifest:
    description:
      - An mtree manifest to verify C(root) against (C(korlan --mtree ROOT MANIFEST)),
        which also checks types, modes, owners, link targets and times.
    type: path
  sums:
    description:
      - Also compare SHA-256 digests of the files' contents.
      - C(true) reads the digests from C(packing.sha256) beside the list
        (C(--sums)); a path names any file in the format C(sha256sum) writes
        (C(--sums=FILE)); C(false) compares sizes only.
      - A digest file named like a boolean (C(yes), C(true)) is given as C(./yes).
    type: raw
    default: false
  key:
    description:
      - A minisign or signify public key; lists, manifests and digests not
        signed with it are refused (C(--key=PUBKEY)).
    type: path
  unlisted:
    description:
      - Also report every file under C(root) that the list does not name (C(--unlisted)).
    type: bool
    default: false
  strict:
    description:
      - Pass C(--strict), so that Korlan's own status is 2 when a comparison failed
        or none was made; an empty list then fails the task.
      - Without it, the task still fails on a failed comparison, seen in the total record.
    type: bool
    default: true
  executable:
    description:
      - The path of the C(korlan) program on the managed host.
      - By default C(korlan) is looked up on the host's C(PATH).
      - Required with C(self=true), where it is the installation's own program.
    type: path
  self:
    description:
      - Run the program without operands, so that it verifies the installation
        holding it (its program three levels below the top, at
        C(TOP/lib/NAME/bin/korlan)), against the lists it ships at C(TOP).
      - Takes neither C(root), C(list) nor C(manifest); C(executable) is required.
    type: bool
    default: false
  fail_on_difference:
    description:
      - Fail the task when a comparison failed. With C(false) the differences are
        returned and the task succeeds; a refused run fails it all the same.
    type: bool
    default: true
attributes:
  check_mode:
    support: full
    description: Check mode runs the same read-only verification.
  diff_mode:
    support: none
    description: Nothing is changed, so there is no diff.
notes:
  - Needs the C(korlan) program on the managed host, and nothing else there but Python.
  - Records of kinds this module does not know are returned among C(differences) as they are.
  - The manual page korlan(1) tells every option, record and exit status of the program.
author:
  - Korlan maintainers (@korlan)
'''

EXAMPLES = r'''
- name: Verify /opt/app against its manifest, with the vendor's key
  korlan.verify.verify:
    root: /opt/app
    manifest: /opt/app/packing.mtree
    key: /etc/korlan/keys/app.pub

- name: Verify sizes and digests, and look for files that do not belong
  korlan.verify.verify:
    root: /opt/app
    list: /opt/app/packing.lst
    sums: true
    unlisted: true

- name: Let a self-verifying installation check itself, keeping the differences
  korlan.verify.verify:
    self: true
    executable: /opt/korlan/lib/korlan/bin/korlan
    fail_on_difference: false
  register: korlan

- name: Show what differs
  ansible.builtin.debug:
    msg: "{{ item.kind }} {{ item.path }}: expected {{ item.expected }}, found {{ item.actual }}"
  loop: "{{ korlan.differences }}"
'''

RETURN = r'''
run:
  description:
    - The run record Korlan writes first (version, root, list, host, start time,
      signer), or null from a program that writes none.
  returned: always
  type: dict
  sample: {"kind": "run", "version": "1.0", "root": "/opt/app", "list": "/opt/app/packing.lst",
           "host": "web1", "start": "2026-12-08T14:22:05Z", "signer": ""}
differences:
  description:
    - Every record that is neither the run, the total nor an error, in Korlan's order.
    - Each has C(kind) (missing, size, unreadable, nochecksum, checksum, unlisted, type,
      mode, uid, gid, uname, gname, link, time, nlink, or a later one), C(path),
      C(expected), C(actual) and C(reason), and may carry more fields (such as C(package)).
  returned: always
  type: list
  elements: dict
  sample: [{"kind": "size", "path": "/opt/app/bin/setup", "expected": "4096", "actual": "4000", "reason": ""}]
failed_comparisons:
  description: The number of comparisons that failed, from the total record; null without one.
  returned: always
  type: int
  sample: 2
comparisons:
  description: The number of file comparisons made, from the total record; null without one.
  returned: always
  type: int
  sample: 3
rc:
  description: Korlan's exit status (0 clean, 2 a comparison failed with C(strict), 255 refused, 1 program not found).
  returned: always
  type: int
  sample: 2
cmd:
  description: The command line that was run.
  returned: always
  type: list
  elements: str
  sample: ["/usr/bin/korlan", "--json", "--strict", "--", "/opt/app", "/opt/app/packing.lst"]
'''

import json

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.parsing.convert_bool import boolean


def sums_option(value):
    """The --sums argument for the option's value: a flag, a file, or none."""
    if isinstance(value, bool):
        return ['--sums'] if value else []
    try:
        return ['--sums'] if boolean(value, strict=True) else []
    except TypeError:
        return ['--sums=' + str(value)]


def command_line(module, params):
    executable = params['executable'] or module.get_bin_path('korlan', required=True)
    cmd = [executable, '--json']
    if params['strict']:
        cmd.append('--strict')
    if params['unlisted']:
        cmd.append('--unlisted')
    if params['key']:
        cmd.append('--key=' + params['key'])
    cmd.extend(sums_option(params['sums']))
    if params['self']:
        return cmd
    if params['manifest']:
        return cmd + ['--mtree', '--', params['root'], params['manifest']]
    return cmd + ['--', params['root'], params['list']]


def read_records(out):
    """Korlan's JSON Lines, sorted by kind; a line that is no record (the
    usage line after a bad command line) is kept apart."""
    run = total = error = None
    differences, other = [], []
    for line in out.splitlines():
        if not line.strip():
            continue
        try:
            record = json.loads(line)
        except ValueError:
            record = None
        if not isinstance(record, dict):
            other.append(line)
            continue
        kind = record.get('kind')
        if kind == 'run':
            run = record
        elif kind == 'total':
            total = record
        elif kind == 'error':
            error = record
        else:
            differences.append(record)
    return run, total, error, differences, other


def refusal(rc, err, error, other, total):
    """Why a run gave no verdict, in Korlan's words where it said any."""
    if error is not None and error.get('message'):
        return error['message']
    said = err.strip() or '\n'.join(other).strip()
    if rc < 0:
        return 'korlan was killed by signal %d%s' % (-rc, ': ' + said if said else '')
    if said:
        return said
    if total is None and rc in (0, 2):
        return 'korlan ended with status %d and wrote no total record' % rc
    return 'korlan ended with status %d' % rc


def main():
    module = AnsibleModule(
        argument_spec=dict(
            root=dict(type='path'),
            list=dict(type='path'),
            manifest=dict(type='path'),
            sums=dict(type='raw', default=False),
            key=dict(type='path', no_log=False),
            unlisted=dict(type='bool', default=False),
            strict=dict(type='bool', default=True),
            executable=dict(type='path'),
            self=dict(type='bool', default=False),
            fail_on_difference=dict(type='bool', default=True),
        ),
        mutually_exclusive=[('list', 'manifest')],
        required_if=[('self', True, ('executable',))],
        supports_check_mode=True,
    )
    params = module.params
    if params['self']:
        given = [name for name in ('root', 'list', 'manifest') if params[name]]
        if given:
            module.fail_json(msg='self: true verifies the installation holding the program '
                                 'and takes no %s' % ', '.join(given))
    elif not params['root'] or not (params['list'] or params['manifest']):
        module.fail_json(msg='root and one of list or manifest are required unless self: true')

    cmd = command_line(module, params)
    rc, out, err = module.run_command(cmd)
    run, total, error, differences, other = read_records(out)
    result = dict(
        changed=False,
        cmd=cmd,
        rc=rc,
        run=run,
        differences=differences,
        failed_comparisons=total.get('failed') if total else None,
        comparisons=total.get('files') if total else None,
    )
    if rc not in (0, 2) or error is not None or total is None:
        module.fail_json(msg=refusal(rc, err, error, other, total), **result)

    failed, files = result['failed_comparisons'] or 0, result['comparisons'] or 0
    if failed:
        msg = '%d out of %d file comparisons failed' % (failed, files)
    elif rc == 2:
        msg = 'no file comparison was made: %s' % (err.strip() or 'the list names no file')
    else:
        module.exit_json(msg='all %d file comparisons correct' % files, **result)
    if params['fail_on_difference']:
        module.fail_json(msg=msg, **result)
    module.exit_json(msg=msg, **result)


if __name__ == '__main__':
    main()
