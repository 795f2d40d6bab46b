#!/usr/bin/python
# Test stand-in for ansible.windows.win_command (win_command.ps1) with cmd set
# to one quoted program path: the program runs with no input, and its stdout
# and stderr come back apart, the task changed, failed on a non-zero exit
# ("non-zero return code"). A program that cannot be started fails the task
# with "Failed to run: '<cmd>': <reason>" and the system's error code as rc,
# and no output at all.
import subprocess

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.ansible.windows.plugins.module_utils.test_host import host_path

module = AnsibleModule({'cmd': {'type': 'str', 'required': True}})
cmd = module.params['cmd']
try:
    run = subprocess.run([host_path(cmd.strip('"'))], stdin=subprocess.DEVNULL,
                         capture_output=True, text=True, check=False)
except OSError as error:
    module.fail_json(msg="Failed to run: '%s': %s" % (cmd, error.strerror), rc=error.errno)
result = {'changed': True, 'cmd': cmd, 'rc': run.returncode, 'stdout': run.stdout,
          'stderr': run.stderr}
if run.returncode != 0:
    module.fail_json(msg='non-zero return code', **result)
module.exit_json(**result)
