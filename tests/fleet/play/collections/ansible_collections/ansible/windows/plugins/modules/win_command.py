#!/usr/bin/python
# Test stand-in for ansible.windows.win_command (win_command.ps1), for the one
# command the play runs: powershell.exe ... -File "<script>". The script runs
# with no input in PowerShell 7 ($QUARVANE_TEST_PWSH) through the stand-in
# host's side of PowerShell ($QUARVANE_TEST_WINDOWS_HOST), and its stdout and stderr come back apart, the task
# changed, failed on a non-zero exit ("non-zero return code"). A program that
# cannot be started fails the task with "Failed to run: '<cmd>': <reason>" and
# the system's error code as rc, and no output at all.
import os
import shlex
import subprocess

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.ansible.windows.plugins.module_utils.test_host import host_path

module = AnsibleModule({'cmd': {'type': 'str', 'required': True}})
cmd = module.params['cmd']
argv = [word.strip('"') for word in shlex.split(cmd, posix=False)]
if argv[0].lower() != 'powershell.exe' or '-File' not in argv:
    module.fail_json(msg='this stand-in runs only powershell.exe -File: %s' % cmd)
script = host_path(argv[argv.index('-File') + 1])
host = os.environ['QUARVANE_TEST_WINDOWS_HOST']
try:
    run = subprocess.run([os.environ.get('QUARVANE_TEST_PWSH', 'pwsh'), '-NoProfile', '-NonInteractive',
                          '-File', host, script], stdin=subprocess.DEVNULL,
                         capture_output=True, text=True, check=False)
except OSError as error:
    module.fail_json(msg="Failed to run: '%s': %s" % (cmd, error.strerror), rc=error.errno)
result = {'changed': True, 'cmd': cmd, 'rc': run.returncode, 'stdout': run.stdout,
          'stderr': run.stderr}
if run.returncode != 0:
    module.fail_json(msg='non-zero return code', **result)
module.exit_json(**result)
