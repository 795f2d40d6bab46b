#!/usr/bin/python
# Test stand-in for ansible.windows.win_file (win_file.ps1), state "absent":
# removes the file, or the folder with all it holds; changed only where there
# was one.
import os
import shutil

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.ansible.windows.plugins.module_utils.test_host import host_path

module = AnsibleModule({'path': {'type': 'str', 'required': True},
                        'state': {'choices': ['absent']}})
path = host_path(module.params['path'])
if not os.path.lexists(path):
    module.exit_json(changed=False)
if os.path.isdir(path):
    shutil.rmtree(path)
else:
    os.remove(path)
module.exit_json(changed=True)
