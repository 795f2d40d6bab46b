#!/usr/bin/python
# Test stand-in for ansible.windows.win_copy, one file from the controller
# (win_copy.ps1, "single" mode): a dest that ends with a separator, or is a
# folder, takes the source's name; a missing parent folder is made for such a
# dest, but fails the task ("Destination directory '...' does not exist") for
# one that names the file itself.
import os
import shutil

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.ansible.windows.plugins.module_utils.test_host import host_path

module = AnsibleModule({'src': {'type': 'path', 'required': True},
                        'dest': {'type': 'str', 'required': True}})
src, dest = module.params['src'], module.params['dest']
names_folder = dest.endswith(('\\', '/')) or os.path.isdir(host_path(dest))
remote_dest = dest.rstrip('\\/') + '\\' + os.path.basename(src) if names_folder else dest
parent = remote_dest.rsplit('\\', 1)[0]
if not os.path.isdir(host_path(parent)):
    if not names_folder:
        module.fail_json(msg="Destination directory '%s' does not exist" % parent)
    os.makedirs(host_path(parent))
shutil.copy(src, host_path(remote_dest))
module.exit_json(changed=True, dest=remote_dest)
