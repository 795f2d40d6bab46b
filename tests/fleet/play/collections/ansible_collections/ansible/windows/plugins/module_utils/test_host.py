# The stand-in Windows host of the playbook's test: its drive C: is the folder
# in $QUARVANE_TEST_DRIVE_C, and the stand-in modules act on it alone.
import os


def host_path(windows_path):
    _, _, rest = windows_path.partition(':\\')
    return os.path.join(os.environ['QUARVANE_TEST_DRIVE_C'], *rest.split('\\'))
