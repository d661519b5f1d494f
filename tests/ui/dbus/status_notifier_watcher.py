'''A StatusNotifierWatcher for the desktop tests: items register with it, and the test
reads back who registered (python3-dbusmock template).'''

import dbus

BUS_NAME = 'org.kde.StatusNotifierWatcher'
MAIN_OBJ = '/StatusNotifierWatcher'
MAIN_IFACE = 'org.kde.StatusNotifierWatcher'
SYSTEM_BUS = False


def load(mock, parameters):
    mock.AddMethods(MAIN_IFACE, [
        ('RegisterStatusNotifierItem', 's', '', ''),
        ('RegisterStatusNotifierHost', 's', '', ''),
    ])
    mock.AddProperties(MAIN_IFACE, {
        'IsStatusNotifierHostRegistered': True,
        'ProtocolVersion': 0,
        'RegisteredStatusNotifierItems': dbus.Array([], signature='s'),
    })
