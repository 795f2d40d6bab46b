#!/usr/bin/python
# Test stand-in for ansible.windows.win_stat (win_stat.ps1), with
# checksum_algorithm sha256: stat.exists, and a file's checksum in lower-case
# hex (get_checksum is on by default, and a folder has none).
import hashlib
import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.ansible.windows.plugins.module_utils.test_host import host_path

module = AnsibleModule({'path': {'type': 'str', 'required': True},
                        'checksum_algorithm': {'choices': ['sha256']}})
path = host_path(module.params['path'])
stat = {'exists': os.path.exists(path)}
if os.path.isfile(path):
    with open(path, 'rb') as file:
        stat['checksum'] = hashlib.sha256(file.read()).hexdigest()
module.exit_json(changed=False, stat=stat)
