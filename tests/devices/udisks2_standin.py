'''A stand-in UDisks2 service for the tests, as a python-dbusmock template.

Volumes are added and removed through the mock interface; the removal methods record every
call in one list, in order, and fail with the D-Bus error a test sets for them.
'''

import dbus

from dbusmock import MOCK_IFACE

BUS_NAME = 'org.freedesktop.UDisks2'
MAIN_OBJ = '/org/freedesktop/UDisks2'
MAIN_IFACE = 'org.freedesktop.UDisks2.Manager'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

BLOCK_IFACE = 'org.freedesktop.UDisks2.Block'
FILESYSTEM_IFACE = 'org.freedesktop.UDisks2.Filesystem'
DRIVE_IFACE = 'org.freedesktop.UDisks2.Drive'

# Runs inside the mock: records the call, then fails as told or does what UDisks2 would.
REMOVAL_CODE = '''
manager = self.object_manager
manager.removal_calls.append('{method} ' + self.path)
error = manager.failures.get('{method}')
if error:
    raise dbus.exceptions.DBusException('refused by the test', name=error)
{after}
'''


def load(mock, parameters):
    mock.removal_calls = []
    mock.failures = {}
    mock.removal_drives = set()
    mock.AddProperties(MAIN_IFACE, {'Version': dbus.String('2.9.4', variant_level=1)})


def mount_points(mount_point):
    points = [dbus.ByteArray(mount_point.encode() + b'\0')] if mount_point else []
    return dbus.Array(points, signature='ay', variant_level=1)


@dbus.service.method(MOCK_IFACE, in_signature='sstsssbsb', out_signature='')
def AddVolume(self, name, device, device_number, id_type, mount_point, label, read_only, drive,
              can_power_off):
    '''A block device with a file system, announced with InterfacesAdded; its drive too, when
    `drive` names one that is not there yet.'''
    drive_path = '/'
    if drive:
        drive_path = MAIN_OBJ + '/drives/' + drive
        if drive_path not in self.removal_drives:
            self.AddObject(drive_path, DRIVE_IFACE, {
                'CanPowerOff': dbus.Boolean(can_power_off, variant_level=1),
                'Ejectable': dbus.Boolean(True, variant_level=1),
            }, [])
            drive_object = dbusmock_objects()[drive_path]
            for method in ('PowerOff', 'Eject'):
                drive_object.AddMethod(DRIVE_IFACE, method, 'a{sv}', '',
                                       REMOVAL_CODE.format(method=method, after=''))
            self.removal_drives.add(drive_path)
            self.object_manager_emit_added(drive_path)
    path = MAIN_OBJ + '/block_devices/' + name
    self.AddObject(path, BLOCK_IFACE, {
        'Device': dbus.ByteArray(device.encode() + b'\0', variant_level=1),
        'DeviceNumber': dbus.UInt64(device_number, variant_level=1),
        'Drive': dbus.ObjectPath(drive_path, variant_level=1),
        'ReadOnly': dbus.Boolean(read_only, variant_level=1),
        'IdLabel': dbus.String(label, variant_level=1),
        'IdType': dbus.String(id_type, variant_level=1),
    }, [])
    block = dbusmock_objects()[path]
    block.AddProperties(FILESYSTEM_IFACE, {'MountPoints': mount_points(mount_point)})
    block.AddMethod(FILESYSTEM_IFACE, 'Unmount', 'a{sv}', '', REMOVAL_CODE.format(
        method='Unmount',
        after="self.UpdateProperties('%s', {'MountPoints': dbus.Array([], signature='ay')})"
        % FILESYSTEM_IFACE))
    self.object_manager_emit_added(path)


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='')
def SetMountPoint(self, name, mount_point):
    '''Mounts (or, with an empty mount point, unmounts) a volume.'''
    dbusmock_objects()[MAIN_OBJ + '/block_devices/' + name].UpdateProperties(
        FILESYSTEM_IFACE, {'MountPoints': mount_points(mount_point)})


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def RemoveVolume(self, name):
    '''Unplugs a volume: InterfacesRemoved, then the object is gone.'''
    path = MAIN_OBJ + '/block_devices/' + name
    self.EmitSignal('org.freedesktop.DBus.ObjectManager', 'InterfacesRemoved', 'oas',
                    [dbus.ObjectPath(path), [BLOCK_IFACE, FILESYSTEM_IFACE]])
    self.RemoveObject(path)


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='')
def SetFailure(self, method, error_name):
    '''Makes a removal method fail with the D-Bus error `error_name` (empty: succeed).'''
    self.failures[method] = error_name


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='as')
def RemovalCalls(self):
    '''Every removal call so far, "<method> <object path>", in order.'''
    return dbus.Array(self.removal_calls, signature='s')


def dbusmock_objects():
    from dbusmock import mockobject  # pylint: disable=import-outside-toplevel
    return mockobject.objects
