'use strict';

// The tunnel as the desktop shows it, against the VPN lab: a notifier watcher that
// appears after the application still gets its tray item; over many drops and returns
// of the server the notification service gets one notification per change, each
// replacing the one before, and the tray says what the page says; a logind delay
// inhibitor is held while connected, let go within a second of the way to sleep (with
// the daemon stopped), and the same tunnel is back after resume.

const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { withLab } = require('./lab');
const { withSignedIn, bridgeCall } = require('./session');
const { withBus } = require('./dbus');

const CYCLES = Number(process.env.CORRIVO_DROP_CYCLES || 50);
const STATE_WAIT_MS = 30000;

function fixture(lab) {
    return {
        users: [{ username: 'alice', password: 'secret' }],
        domains: [{
            id: 1, name: 'Plant North', vpn_enable: 1,
            devices: [{ id: 11, name: 'Gateway 01', type: 1, vpn_status: 1,
                        vpn_ip: lab.value('LAB_VPN_SERVER_ADDR'), api_key: 'key11' }],
            vpn_files: lab.vpnFiles(),
        }],
    };
}

// The page's state: the colour of its status row.
function pageState(app) {
    return app.page.evaluate(() => {
        const row = document.querySelector('.vpn-status-row');
        return ['green', 'orange', 'red'].find((colour) => row.classList.contains(`bg-${colour}`)) || 'none';
    });
}

// The tray item's state as a host sees it: its tooltip's state line and the colour of
// its largest icon's middle pixel.
function trayState(session) {
    const registered = session.calls('org.kde.StatusNotifierWatcher', '/StatusNotifierWatcher')
        .filter((call) => call[0] === 'RegisterStatusNotifierItem');
    if (registered.length === 0)
        return null;
    const service = registered[registered.length - 1][1];
    return session.python(`
item = bus.get_object(${JSON.stringify(service)}, '/StatusNotifierItem')
props = dbus.Interface(item, 'org.freedesktop.DBus.Properties')
tip = props.Get('org.kde.StatusNotifierItem', 'ToolTip')
pixmaps = props.Get('org.kde.StatusNotifierItem', 'IconPixmap')
w, h, data = max(pixmaps, key=lambda p: int(p[0]))
w, h = int(w), int(h)
i = ((h // 2) * w + w // 2) * 4
a, r, g, b = [int(x) for x in data[i:i + 4]]
colour = 'green' if g > 200 and r < 150 else 'orange' if r > 200 and g > 100 else 'red' if r > 200 else 'none'
print(json.dumps({'tip': str(tip[2]) + '\\n' + str(tip[3]), 'colour': colour}))
`);
}

function daemonPids(app) {
    try {
        return execFileSync('pgrep', ['-P', String(app.child.pid), '-x', 'openvpn']).toString().trim().split('\n')
            .filter(Boolean).map(Number);
    } catch (error) {
        return [];
    }
}

module.exports = {
    async 'drops and returns notify once each and the tray follows the page; sleep lets go of the inhibitor and resume brings the tunnel back'({ harness, assert }) {
        await withLab(harness, { keepalive: '1,3' }, async (lab) => {
            await withBus(harness, 'session', async (session) => {
                await withBus(harness, 'system', async (system) => {
                    await session.mock(harness, 'notification_daemon', 'org.freedesktop.Notifications');
                    await system.mock(harness, 'logind', 'org.freedesktop.login1');
                    const home = harness.freshHome('tunnel-desktop');
                    const env = Object.assign({ CORRIVO_LOG: '4', XDG_STATE_HOME: path.join(home, '.local', 'state') },
                                              session.env(), system.env());
                    const log = () => fs.readFileSync(path.join(home, '.local', 'state', 'corrivo2', 'corrivo2.log'),
                                                      'utf8');
                    await withSignedIn(harness, 'tunnel-desktop', fixture(lab), { env }, async ({ app }) => {
                        // The panel starts after the application.
                        await session.mock(harness, path.join(__dirname, 'dbus', 'status_notifier_watcher.py'),
                                           'org.kde.StatusNotifierWatcher');
                        await harness.waitUntil(async () => trayState(session) !== null, 'the tray item', 15000);
                        assert.deepStrictEqual(trayState(session), { tip: 'Corrivo 2\nNot connected', colour: 'red' });

                        const notifications = () => session.calls('org.freedesktop.Notifications',
                                                                  '/org/freedesktop/Notifications')
                            .filter((call) => call[0] === 'Notify');
                        const inhibitors = () => system.inhibitors();
                        const waitState = async (page, tray, what) => {
                            await harness.waitUntil(async () => (await pageState(app)) === page, `${what}: page ${page}`,
                                                    STATE_WAIT_MS);
                            await harness.waitUntil(async () => {
                                const state = trayState(session);
                                return state && state.colour === page && state.tip.startsWith(`Corrivo 2\n${tray}`);
                            }, `${what}: tray ${tray}`, 5000);
                        };

                        await app.page.click('#domainsContainer .device[data-id="11"] .name');
                        await waitState('green', 'Connected to Gateway 01', 'first connection');
                        await harness.waitUntil(async () => notifications().length === 1, 'the first notification', 5000);
                        assert.strictEqual(notifications()[0][4], 'Connected');
                        assert.strictEqual(notifications()[0][5], 'Connected to Gateway 01.');
                        await harness.waitUntil(async () => (inhibitors() || []).length === 1, 'the inhibitor', 5000);
                        assert.deepStrictEqual(inhibitors()[0].slice(0, 2), ['sleep', 'Corrivo 2']);
                        assert.strictEqual(inhibitors()[0][3], 'delay');

                        for (let cycle = 1; cycle <= CYCLES; cycle++) {
                            await lab.serverStop();
                            await waitState('orange', 'Reconnecting to Gateway 01', `drop ${cycle}`);
                            await lab.serverStart();
                            await waitState('green', 'Connected to Gateway 01', `return ${cycle}`);
                            await harness.waitUntil(async () => notifications().length >= 1 + 2 * cycle,
                                                    `notifications of cycle ${cycle}`, 5000);
                            assert.strictEqual(notifications().length, 1 + 2 * cycle, `one per change in cycle ${cycle}`);
                        }
                        const all = notifications();
                        // [method, app, replaces_id, icon, summary, body]: the service numbers the
                        // first 1, and every later one replaces it.
                        assert.strictEqual(all[0][2], 0);
                        for (const call of all.slice(1))
                            assert.strictEqual(call[2], 1, 'each notification replaces its predecessor');
                        assert.deepStrictEqual([...new Set(all.slice(1).map((call) => call[4]))].sort(),
                                               ['Connected again', 'Connection lost']);

                        // To sleep, with the daemon hung: the inhibitor goes at once all the same.
                        const pids = daemonPids(app);
                        assert.ok(pids.length > 0, 'the daemon runs');
                        for (const pid of pids)
                            process.kill(pid, 'SIGSTOP');
                        const emit = (sleeping) => system.prepareForSleep(sleeping);
                        const asleep = Date.now();
                        assert.strictEqual(emit(true), true);
                        await harness.waitUntil(async () => (inhibitors() || [1]).length === 0, 'the inhibitor let go', 3000);
                        const released = Date.now() - asleep;
                        assert.ok(released <= 1000 + 500, `released after ${released} ms (the check itself takes a while)`);

                        // Awake again: the processes run on, and the same tunnel comes back.
                        for (const pid of pids)
                            process.kill(pid, 'SIGCONT');
                        const heardBefore = notifications().length;
                        const awake = Date.now();
                        assert.strictEqual(emit(false), true);
                        // A new connection, not the old one living on: the stop asked for before sleep
                        // ends the old tunnel (quietly), the start after resume says "Connected" again.
                        await harness.waitUntil(async () => notifications().slice(heardBefore)
                            .some((call) => call[4] === 'Connected'), 'a new connection after resume', 15000);
                        await waitState('green', 'Connected to Gateway 01', 'after resume');
                        const back = Date.now() - awake;
                        assert.ok(back <= 15000, `back after ${back} ms`);
                        await harness.waitUntil(async () => (inhibitors() || []).length === 1, 'the inhibitor again', 5000);
                        // With the setting off (the domains page's switch) the tunnel stays down
                        // after resume: the log's "Resumed" is the sentinel that resume ran.
                        await app.page.click('#domainsOptions .reconnect-after-sleep');
                        await harness.waitUntil(async () => (await bridgeCall(app, 'getReconnectAfterSleep')) === false,
                                                'the setting off', 5000);
                        assert.strictEqual(emit(true), true);
                        await waitState('red', 'Not connected', 'asleep with the setting off');
                        const resumedBefore = log().split('Resumed').length;
                        assert.strictEqual(emit(false), true);
                        await harness.waitUntil(async () => log().split('Resumed').length > resumedBefore,
                                                'the resume handled', 10000);
                        const afterResume = log().split('Resumed').pop();
                        assert.ok(!afterResume.includes('Getting VPN domain config'), 'no start after resume');
                        assert.strictEqual(await pageState(app), 'red');
                        assert.deepStrictEqual(inhibitors(), []);
                        console.log(`desktop: ${CYCLES} cycles, ${all.length} notifications, inhibitor released in ` +
                                    `${released} ms, tunnel back ${back} ms after resume`);
                    });
                });
            });
        });
    },
};
