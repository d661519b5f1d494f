'use strict';

// Desktop services for UI tests: message buses of the test's own (no service
// directories, so nothing starts on demand) and python3-dbusmock services on them. The
// caller stops what it started, also when the test fails.

const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

// Debian's interpreter: the dbus bindings and dbusmock are its packages.
const PYTHON = '/usr/bin/python3';

class Bus {
    constructor(type) {
        this.type = type;  // 'session' or 'system'
        this.address = '';
        this.children = [];
        this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'corrivo-bus-'));
    }

    async start(harness) {
        const config = path.join(this.dir, 'bus.conf');
        fs.writeFileSync(config, fs.readFileSync(path.join(__dirname, 'dbus', 'bus.conf.in'), 'utf8')
            .replace('@TYPE@', this.type));
        const daemon = this.spawn('dbus-daemon', [`--config-file=${config}`, '--nofork', '--print-address=1'],
                                  { stdio: ['ignore', 'pipe', 'ignore'] });
        let printed = '';
        daemon.stdout.on('data', (chunk) => { printed += chunk.toString(); });
        await harness.waitUntil(async () => printed.includes('\n'), `the ${this.type} bus`, 10000);
        this.address = printed.trim();
        return this;
    }

    // The variables that point a program at this bus.
    env() {
        return this.type === 'system' ? { DBUS_SYSTEM_BUS_ADDRESS: this.address }
                                      : { DBUS_SESSION_BUS_ADDRESS: this.address };
    }

    spawn(program, args, options = {}) {
        const child = spawn(program, args, Object.assign({ detached: true, stdio: 'ignore' }, options));
        this.children.push(child);
        return child;
    }

    // A dbusmock service from a template (a name of dbusmock's or a file path); resolves
    // once `name` is on the bus.
    async mock(harness, template, name) {
        const args = ['-m', 'dbusmock', '--template', template];
        if (this.type === 'system')
            args.splice(2, 0, '--system');
        this.spawn(PYTHON, args, { env: Object.assign({}, process.env, this.env()) });
        await harness.waitUntil(async () => this.python(`print(json.dumps(bool(bus.name_has_owner(${JSON.stringify(name)}))))`),
                                `${name} on the ${this.type} bus`, 15000);
    }

    // Runs Python with `bus` connected to this bus and `json` imported; returns the JSON
    // it prints, or null when it failed.
    python(code) {
        const prelude = `import dbus, json\nbus = dbus.bus.BusConnection(${JSON.stringify(this.address)})\n`;
        try {
            return JSON.parse(execFileSync(PYTHON, ['-c', prelude + code],
                                           { stdio: ['ignore', 'pipe', 'ignore'], timeout: 10000 }).toString());
        } catch (error) {
            return null;
        }
    }

    // The calls a dbusmock object received: [[method, arg, ...]], numbers as numbers.
    calls(name, objectPath) {
        return this.python(`
o = bus.get_object(${JSON.stringify(name)}, ${JSON.stringify(objectPath)})
def plain(value):
    if isinstance(value, (dbus.Boolean,)):
        return bool(value)
    if isinstance(value, (dbus.Int32, dbus.UInt32, dbus.Int64, dbus.UInt64, dbus.Byte)):
        return int(value)
    if isinstance(value, (list, tuple, dbus.Array, dbus.Struct)):
        return [plain(v) for v in value]
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    return str(value)
print(json.dumps([[str(c[1])] + plain(list(c[2])) for c in o.GetCalls(dbus_interface='org.freedesktop.DBus.Mock')]))
`) || [];
    }

    // logind's (python3-dbusmock's): who holds an inhibitor now, by name; null when the
    // service does not answer.
    inhibitors() {
        return this.python(`
m = bus.get_object('org.freedesktop.login1', '/org/freedesktop/login1')
print(json.dumps([[str(x) for x in i[:4]] for i in m.ListInhibitors(dbus_interface='org.freedesktop.login1.Manager')]))
`);
    }

    // logind's word that the machine is about to sleep (true) or has woken (false).
    prepareForSleep(sleeping) {
        return this.python(`
m = bus.get_object('org.freedesktop.login1', '/org/freedesktop/login1')
m.EmitSignal('org.freedesktop.login1.Manager', 'PrepareForSleep', 'b', [${sleeping ? 'True' : 'False'}],
             dbus_interface='org.freedesktop.DBus.Mock')
print(json.dumps(True))
`);
    }

    stop() {
        for (const child of this.children.reverse()) {
            if (child.exitCode === null && child.signalCode === null) {
                try { process.kill(-child.pid, 'SIGTERM'); } catch (error) { /* gone already */ }
            }
        }
        this.children = [];
        fs.rmSync(this.dir, { recursive: true, force: true });
    }
}

// Runs body(bus) with a started bus of the given type, stopped afterwards.
async function withBus(harness, type, body) {
    const bus = new Bus(type);
    try {
        await bus.start(harness);
        return await body(bus);
    } finally {
        bus.stop();
    }
}

module.exports = { Bus, withBus, PYTHON };
