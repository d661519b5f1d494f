'use strict';

// The application in the desktop session: notifications through a freedesktop
// notification service (python3-dbusmock's, on a private session bus), the log a user
// switches on, one instance per user.

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { withSignedIn } = require('./session');
const { withBus } = require('./dbus');

const USER_PASSWORD = 'Zebra-Quartz-91';
const VPN_PASSWORD = 'Vpn-Sekret-77';
const KEY_MATERIAL = 'KEYMATERIAL55aa0bb1';

function fixture() {
    const device = (id, name) => ({ id, name, type: 1, vpn_status: 1, vpn_ip: '10.203.77.11', api_key: `devkey${id}x` });
    return {
        users: [{ username: 'alice', password: USER_PASSWORD }],
        domains: [{
            id: 1, name: 'Plant North', vpn_enable: 1,
            devices: [device(11, 'Gateway 01')],
            vpn_files: [
                { name: 'client.ovpn', content: 'client\ndev tun\nremote 127.0.0.1 9\nup /etc/openvpn/custom.sh\n' +
                                                `auth-user-pass\n<key>\n${KEY_MATERIAL}\n</key>\n` },
                { name: 'credentials.txt', content: `vpnuser\n${VPN_PASSWORD}` },
            ],
        }],
    };
}

// The mock notification service on a session bus of the test's own.
async function withNotificationService(harness, body) {
    await withBus(harness, 'session', async (bus) => {
        await bus.mock(harness, 'notification_daemon', 'org.freedesktop.Notifications');
        await body({
            address: bus.address,
            notifications: () => bus.calls('org.freedesktop.Notifications', '/org/freedesktop/Notifications')
                .filter((call) => call[0] === 'Notify'),
        });
    });
}

function stateDir(home) {
    return path.join(home, '.local', 'state', 'corrivo2');
}

module.exports = {
    async 'a failed start is one notification, the next replaces it; the switched-on log is private and hides every secret'({ harness, assert }) {
        await withNotificationService(harness, async ({ address, notifications }) => {
            const home = harness.freshHome('desktop-log');
            const env = {
                DBUS_SESSION_BUS_ADDRESS: address,
                XDG_STATE_HOME: path.join(home, '.local', 'state'),
                CORRIVO_LOG: '4',
            };
            await withSignedIn(harness, 'desktop-log', fixture(), { password: USER_PASSWORD, env, home },
                               async ({ app, simulator }) => {
                for (let attempt = 1; attempt <= 2; attempt++) {
                    await app.page.click('#domainsContainer .device[data-id="11"] .name');
                    await harness.waitUntil(async () => notifications().length === attempt,
                                            `notification ${attempt}`, 20000);
                }
                const [first, second] = notifications();
                // [method, app_name, replaces_id, icon, summary, body]
                assert.strictEqual(first[1], 'Corrivo 2');
                assert.strictEqual(first[2], 0, 'the first one replaces nothing');
                assert.strictEqual(first[4], 'The tunnel did not start');
                assert.ok(first[5].includes('line 4') && first[5].includes('"up"'), first[5]);
                assert.strictEqual(second[2], 1, 'the second replaces the first (the id the service gave it)');

                const dir = stateDir(app.home);
                const file = path.join(dir, 'corrivo2.log');
                assert.strictEqual(fs.statSync(dir).mode & 0o777, 0o700);
                assert.strictEqual(fs.statSync(file).mode & 0o777, 0o600);
                const log = fs.readFileSync(file, 'utf8');
                assert.ok(log.includes('eval config error: profile refused: line 4'), 'the log has the lines');
                // The simulator records API keys as masks: every run of 32 hexadecimal
                // digits in the log (the keys' form) is masked alike and must match none.
                const apiKeys = new Set((await simulator.requests())
                    .flatMap((request) => request.headers.filter((header) => header.name.toLowerCase() === 'x-access-token'))
                    .map((header) => header.value));
                assert.ok(apiKeys.size > 0, 'the application used an API key');
                for (const run of log.match(/[0-9a-fA-F]{32,}/g) || []) {
                    for (let i = 0; i + 32 <= run.length; ++i)
                        assert.ok(!apiKeys.has(simulator.masked(run.slice(i, i + 32))), `the log shows an API key: ${run}`);
                }
                for (const secret of [USER_PASSWORD, VPN_PASSWORD, KEY_MATERIAL, 'devkey11x'])
                    assert.ok(!log.includes(secret), `the log shows a secret: ${secret}`);
            });
        });
    },

    async 'a second start raises the running window and ends with 0; no second window'({ harness, assert }) {
        const home = harness.freshHome('desktop-instance');
        const env = { XDG_STATE_HOME: path.join(home, '.local', 'state'), CORRIVO_LOG: '4' };
        await harness.withApp({ home, env }, async (app) => {
            await app.waitLoginForm();
            const second = spawn(process.env.CORRIVO_APP, ['--log'], {
                env: Object.assign({}, process.env, {
                    HOME: home,
                    XDG_CONFIG_HOME: path.join(home, '.config'),
                    XDG_DATA_HOME: path.join(home, '.local', 'share'),
                    XDG_CACHE_HOME: path.join(home, '.cache'),
                    XDG_STATE_HOME: env.XDG_STATE_HOME,
                }),
                stdio: 'ignore',
            });
            const code = await new Promise((resolve) => {
                const timer = setTimeout(() => { second.kill('SIGKILL'); resolve('hung'); }, 30000);
                second.on('exit', (exitCode) => { clearTimeout(timer); resolve(exitCode); });
            });
            assert.strictEqual(code, 0);
            const log = () => fs.readFileSync(path.join(stateDir(home), 'corrivo2.log'), 'utf8');
            await harness.waitUntil(async () => log().includes('A later start: --log'), 'the hand-over', 10000);
            assert.ok(log().includes('Window raised'));
            // The first one still serves its page: the window is the same.
            await app.waitVisible('#loginContainer');
        });
    },
};
