'use strict';

// The whole journey through the real application against the demo world: a real
// OpenVPN server in a network namespace, simulated devices reachable only through the
// tunnel (web page, remote-access API, serial services), the cloud simulator on the
// loopback. The application runs as an unprivileged desktop user made for the test, with
// its web engine's sandbox on; its tunnels come from corrivo2-helper, which runs as root
// and serves the test's group. The runner itself is root (accounts, namespaces).

const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const harness = require('../ui/harness');
const { pairs } = require('../ui/serial');
const { signIn, dismissTour, shownBytes, openedUrls, installBrowserStandIn, openPortView } = require('../ui/session');
const world = require('./world');
const { withBus } = require('../ui/dbus');

const DEVICE = 101;             // "Pump station": online, type 1, four serial interfaces
const OFFLINE_DEVICE = 103;
const HIDDEN_DEVICE = 104;      // type 2: the client never shows it
const PORT_TYPE = 0;            // RS 232 A
const TUNNEL_TIMEOUT_MS = 60000;
const PORT_TIMEOUT_MS = 90000;  // create/delete may wait on the serial tools

let runs = 0;

function uniqueName() {
    runs += 1;
    return `e2e${process.pid % 100000}${String.fromCharCode(96 + runs)}`;
}

function skipUnlessPossible() {
    if (process.getuid && process.getuid() !== 0)
        throw new harness.Skip('needs root (tunnels, network namespaces, test accounts)');
    // What scripts/setup.sh installs: missing, it is a broken set-up, not a reason to skip.
    for (const program of ['/usr/sbin/openvpn', '/usr/bin/setpriv', '/usr/sbin/useradd']) {
        if (!fs.existsSync(program))
            throw new Error(`${program} is not installed (run scripts/setup.sh)`);
    }
    try {
        execFileSync('/usr/bin/python3', ['-c', 'import serial'], { stdio: 'pipe' });
    } catch (error) {
        throw new Error('pyserial is not installed (python3-serial; run scripts/setup.sh)');
    }
}

// Runs `body(context)` with a fresh demo world, a desktop user, the helper and the
// application started as that user; takes all of them down whatever happens, and ends
// whatever a failure left of what the application started (the cases themselves check
// that a logout leaves nothing).
// options.env: more of the application's environment.
async function withJourney(name, body, options = {}) {
    skipUnlessPossible();
    const marker = `${name}-${process.pid}`;
    const worldName = uniqueName();
    const desktop = new world.Desktop(worldName);
    const serialDir = desktop.serialDir;
    const demo = new world.DemoWorld(worldName, path.join(harness.freshHome(name), 'demo'), serialDir, desktop,
                                     marker);
    const helper = desktop.helper();
    let browser = null;
    let app = null;
    let failure = null;
    try {
        await demo.start();
        browser = installBrowserStandIn(desktop.home);
        desktop.giveHome();
        await helper.start();
        app = new harness.App({
            binary: path.join(desktop.bin, 'corrivo2'),
            home: desktop.home,
            user: desktop.credentials,
            env: Object.assign(demo.appEnv(), desktop.appEnv(), {
                PATH: `${browser.bin}:${process.env.PATH}`,
                CORRIVO_E2E_RUN: marker,
            }, options.env || {}),
        });
        await app.start();
        await body({ app, demo, desktop, helper, browser, serialDir, marker });
    } catch (error) {
        failure = error;
        error.message += `\n--- application output ---\n${app ? app.output.slice(-6000) : ''}`
            + `\n--- helper ---\n${helper.output.slice(-3000)}`
            + `\n--- demo world ---\n${demo.output.slice(-2000)}`;
    } finally {
        if (app)
            await app.stop();
        await helper.kill('SIGTERM');
        // The guard kills what the user still runs and removes the user with the world.
        try {
            await demo.stop();
        } catch (error) {
            failure = failure || error;
        }
        for (const process_ of world.processesWithMarker(marker)) {
            try {
                process.kill(process_.pid, 'SIGKILL');
            } catch (error) {
                // gone already
            }
        }
    }
    if (failure)
        throw failure;
}

// Signs in from the form and closes the first tour of the domains route.
async function signInAsDemoUser(app, demo) {
    await signIn(app, demo.settings.DEMO_USERNAME, demo.settings.DEMO_PASSWORD);
    await app.waitVisible('#domainsContainer', 30000);
    await dismissTour(app);
}

// The group of the device's domain is open, so that its row can be clicked.
async function openGroupOf(app, demo, deviceId) {
    const domainId = demo.device(deviceId).domain_id;
    await app.waitVisible(`#domainsContainer .domain[data-id="${domainId}"]`);
    const closed = await app.page.$eval(`#domainsContainer .domain[data-id="${domainId}"]`,
        (header) => header.parentElement.querySelector('.device-container').classList.contains('closed'));
    if (closed)
        await app.page.click(`#domainsContainer .domain[data-id="${domainId}"]`);
    await app.waitVisible(`#domainsContainer .device[data-id="${deviceId}"] .name`);
    await app.settle('#domainsContainer');  // the group opens with a transition
}

async function waitStatusRow(app, colour, timeoutMs = TUNNEL_TIMEOUT_MS) {
    await app.page.waitForSelector(`.vpn-status-row.bg-${colour}`, { timeout: timeoutMs });
}

async function connectTo(app, demo, deviceId) {
    await openGroupOf(app, demo, deviceId);
    await app.page.click(`#domainsContainer .device[data-id="${deviceId}"] .name`);
    // The click turns the sidebar orange at once; green then means this start is through.
    await waitStatusRow(app, 'orange', 5000);
    await waitStatusRow(app, 'green');
    await app.page.waitForSelector(`#domainsContainer .device[data-id="${deviceId}"].bg-green`,
                                   { timeout: TUNNEL_TIMEOUT_MS });
}

// The counters follow the traffic: fetch through the tunnel until they have grown.
async function countersGrow(app, deviceIp) {
    const before = await shownBytes(app, '.stats-in');
    await harness.waitUntil(async () => {
        await world.httpGet(`http://${deviceIp}/`);
        return (await shownBytes(app, '.stats-in')) > before;
    }, 'the received-bytes counter to grow', 30000);
}

// Creates the port of `type` through the view; resolves with the path of its link as
// the row shows it.
async function createPort(app, deviceId, type, serialDir) {
    await openPortView(app, deviceId);
    await dismissTour(app, 1500);
    await app.page.click('#serialVirtualPortPage .icon-create-new');
    await app.page.waitForFunction(() => !document.querySelector('#serialVirtualPortPage .form-container')
        .classList.contains('closed'), { timeout: 5000 });
    await dismissTour(app, 1500);
    await app.settle('#serialVirtualPortPage');  // the form slides in
    await app.page.select('#serialVirtualPortPage select[name="type"]', String(type));
    await app.page.click('#serialVirtualPortPage .button-create');
    const row = `#serialVirtualPortPage .virtual-serial-port[data-type="${type}"]`;
    await app.waitVisible(row, PORT_TIMEOUT_MS);
    await app.waitHidden('#serialVirtualPortPage .form-overlay', PORT_TIMEOUT_MS);
    await dismissTour(app, 1500);
    const serialName = await app.text(`${row} .serial-name`);
    const shownPath = await app.page.$eval(`${row} .serial-path`,
        (element) => element.textContent.replace(/\u200e/g, '').trim());
    const link = path.join(serialDir, serialName);
    if (!/^COM[0-9]+$/.test(serialName) || shownPath !== link)
        throw new Error(`the port's row shows "${serialName}" at "${shownPath}", expected a COM name at ${link}`);
    return link;
}

async function removePort(app, type) {
    await app.page.click(`#serialVirtualPortPage .virtual-serial-port[data-type="${type}"] .remove`);
    await app.page.waitForSelector(`#serialVirtualPortPage .virtual-serial-port[data-type="${type}"]`,
                                   { hidden: true, timeout: PORT_TIMEOUT_MS });
    await app.waitHidden('#serialVirtualPortPage .form-overlay', PORT_TIMEOUT_MS);
    await dismissTour(app, 1500);
}

function deviceAnswer(demo, deviceId, type) {
    const names = ['RS 232 A', 'RS 232 B', 'RS 485', 'USB'];
    return `${demo.device(deviceId).name} (device ${deviceId}, ${names[type]})`;
}

function ownProcesses(marker, exe) {
    return world.processesWithMarker(marker).filter((entry) => entry.exe === exe);
}

function isAlive(pid) {
    return world.listProcesses().some((entry) => entry.pid === pid);
}

// After a logout: no tunnel, no pair, no relay, no holder.
async function assertNothingLeft(assert, app, helper, marker, serialDir) {
    await harness.waitUntil(() => helper.daemons().length === 0, 'the VPN daemon to end', 30000);
    await harness.waitUntil(() => pairs(serialDir).length === 0, 'every serial port pair to go', 30000);
    await harness.waitUntil(() => ownProcesses(marker, 'com2tcp').length === 0 && ownProcesses(marker, 'setupc').length === 0,
                            'the serial relays and pair holders to end', 30000);
    assert.deepStrictEqual(fs.existsSync(serialDir) ? fs.readdirSync(serialDir).filter((n) => !n.startsWith('.')) : [], []);
    assert.strictEqual(await app.page.evaluate(() => new Promise((resolve) => HLV.vpn.getStatus(resolve))) !== 3, true);
}

// The demo world's simulators run as an account of their own without any capability,
// their control token is root's alone and on no command line, and their control
// endpoints refuse requests without it and fixtures that name files outside their own.
async function checkSimulatorsAreFenced(assert, demo) {
    const simulators = demo.simulators();
    assert.strictEqual(simulators.length, 4, 'the cloud and three devices');
    const simUid = Number(execFileSync('id', ['-u', demo.settings.DEMO_SIM_USER], { encoding: 'utf8' }).trim());
    assert.notStrictEqual(simUid, 0);
    const token = demo.controlToken();
    assert.ok(token.length >= 32);
    for (const simulator of simulators) {
        const credentials = world.credentialsOf(simulator.pid);
        assert.deepStrictEqual(credentials.uids, [simUid, simUid, simUid, simUid]);
        assert.strictEqual(credentials.capEff, 0n);
        assert.strictEqual(credentials.capPrm, 0n);
        assert.ok(!simulator.cmdline.join(' ').includes(token), 'the token is on a command line');
        assert.ok(!simulator.environ.includes(Buffer.from(token)), 'the token is in an environment');
    }
    const tokenFile = fs.statSync(demo.settings.DEMO_CONTROL_TOKEN_FILE);
    assert.strictEqual(tokenFile.uid, 0);
    assert.strictEqual(tokenFile.mode & 0o777, 0o600);

    for (const wrong of [null, 'not-the-token-of-this-world', `${token}0`]) {
        const answer = await demo.control('GET', '/_sim/requests', undefined, wrong);
        assert.strictEqual(answer.status, 403, `token ${wrong}`);
    }
    const shadow = fs.readFileSync('/etc/shadow', 'utf8').split('\n')[0];
    const fixture = JSON.parse(JSON.stringify(demo.fixture));
    fixture.domains[0].vpn_files = [{ name: 'ca.crt', path: '/etc/shadow' }];
    for (const wrong of [null, `${token}0`]) {
        const refused = await demo.control('POST', '/_sim/fixture', fixture, wrong);
        assert.strictEqual(refused.status, 403);
    }
    const named = await demo.control('POST', '/_sim/fixture', fixture, token);
    assert.strictEqual(named.status, 400, named.body);
    assert.ok(!named.body.includes(shadow), 'a fixture read /etc/shadow');
}

async function logout(app) {
    await app.page.click('.logout');
    await app.waitLoginForm();
}

module.exports = {
    async 'journey: sign in, connect, web page, serial port, logout'({ assert }) {
        await withJourney('journey', async ({ app, demo, desktop, helper, browser, serialDir, marker }) => {
            const device = demo.device(DEVICE);
            // The application is the desktop user's, without any capability, and its
            // renderers run sandboxed: in namespaces of their own, no --no-sandbox.
            const credentials = world.credentialsOf(app.child.pid);
            assert.deepStrictEqual(credentials.uids, [desktop.uid, desktop.uid, desktop.uid, desktop.uid]);
            assert.strictEqual(credentials.capEff, 0n);
            assert.strictEqual(credentials.capPrm, 0n);
            const renderers = await harness.waitUntil(() => {
                const found = world.rendererProcesses(marker);
                return found.length > 0 ? found : null;
            }, 'a renderer process', 30000);
            for (const renderer of renderers) {
                assert.ok(!renderer.cmdline.includes('--no-sandbox'), renderer.cmdline.join(' '));
                assert.notStrictEqual(world.namespaceOf(renderer.pid, 'pid'), world.namespaceOf(app.child.pid, 'pid'));
                assert.notStrictEqual(world.namespaceOf(renderer.pid, 'net'), world.namespaceOf(app.child.pid, 'net'));
            }

            await checkSimulatorsAreFenced(assert, demo);

            await signInAsDemoUser(app, demo);
            // The sign-in is recorded, its credentials only as a mask.
            const recorded = await demo.control('GET', '/_sim/requests', undefined, demo.controlToken());
            assert.strictEqual(recorded.status, 200);
            const signIns = JSON.parse(recorded.body).filter((request) => request.path === '/api/v2/api_key');
            assert.ok(signIns.length > 0, 'the sign-in was recorded');
            const basic = Buffer.from(`${demo.settings.DEMO_USERNAME}:${demo.settings.DEMO_PASSWORD}`).toString('base64');
            assert.ok(!recorded.body.includes(basic), 'the recorded requests show the sign-in\'s credentials');

            // The domains of the demo user, the offline device marked, the type-2 device absent.
            await app.waitVisible('#domainsContainer');
            await app.page.waitForFunction(() => document.querySelectorAll('#domainsContainer .domain').length === 3,
                                           { timeout: 30000 });
            const names = await app.page.$$eval('#domainsContainer .domain .name', (all) => all.map((e) => e.textContent.trim()));
            assert.deepStrictEqual(names, demo.fixture.domains.map((domain) => domain.name));
            // Rows are drawn only in view: each is brought there first, if the list has it.
            assert.strictEqual(await app.page.evaluate((id) => deviceList.reveal(id) === null, HIDDEN_DEVICE), true);
            assert.strictEqual(await app.page.$(`#domainsContainer .device[data-id="${HIDDEN_DEVICE}"]`), null);
            await app.page.evaluate((id) => { deviceList.reveal(id); }, OFFLINE_DEVICE);
            assert.ok(await app.page.$(`#domainsContainer .device[data-id="${OFFLINE_DEVICE}"].offline`));

            // Connect: the sidebar turns green and the counters move with traffic. The
            // daemon is the helper's; the application has no child of that name.
            await connectTo(app, demo, DEVICE);
            assert.strictEqual(helper.daemons().length, 1);
            assert.deepStrictEqual(ownProcesses(marker, 'openvpn'), []);
            await countersGrow(app, device.vpn_ip);

            // The web interface: the browser is asked for the device's address, and the
            // page at that address is the device's, through the tunnel.
            await app.page.click(`#domainsContainer .device[data-id="${DEVICE}"] .web-ui`);
            await harness.waitUntil(() => openedUrls({ browser }).length > 0, 'the browser to be asked', 10000);
            assert.deepStrictEqual(openedUrls({ browser }).map((url) => url.replace(/\/$/, '')), [`http://${device.vpn_ip}`]);
            const page = await world.httpGet(openedUrls({ browser })[0]);
            assert.strictEqual(page.status, 200);
            assert.ok(page.body.includes(device.name), page.body);

            // A virtual serial port of the device, under the user's runtime directory and
            // the user's own: the user's pyserial talks to the device through it.
            const link = await createPort(app, DEVICE, PORT_TYPE, serialDir);
            assert.ok(fs.existsSync(link), `${link} missing`);
            assert.ok(link.startsWith(`${desktop.runtime}/`), link);
            assert.strictEqual(fs.statSync(link).uid, desktop.uid);
            assert.strictEqual(pairs(serialDir).length, 1);
            for (const relay of ownProcesses(marker, 'com2tcp'))
                assert.strictEqual(world.credentialsOf(relay.pid).uids[0], desktop.uid);
            await world.serialExchange(link, 'ID?', deviceAnswer(demo, DEVICE, PORT_TYPE), desktop.credentials);
            await world.serialExchange(link, 'hello device', 'hello device', desktop.credentials);

            await removePort(app, PORT_TYPE);
            await harness.waitUntil(() => pairs(serialDir).length === 0, 'the pair to go', 30000);
            assert.strictEqual(fs.existsSync(link), false);

            await logout(app);
            await assertNothingLeft(assert, app, helper, marker, serialDir);
        });
    },

    async 'port view: counters, relay state, an AT/OK exchange in the monitor, the trace file'({ assert }) {
        await withJourney('monitor', async ({ app, demo, desktop, helper, serialDir, marker }) => {
            await signInAsDemoUser(app, demo);
            await connectTo(app, demo, DEVICE);
            const link = await createPort(app, DEVICE, PORT_TYPE, serialDir);
            const details = `#serialVirtualPortPage .port-details[data-type="${PORT_TYPE}"]`;
            const monitor = `#serialVirtualPortPage .port-monitor[data-type="${PORT_TYPE}"]`;
            await app.page.waitForSelector(`${details} .relay-state[data-state="relaying"]`, { timeout: PORT_TIMEOUT_MS });

            // The monitor and the trace on, then the user's serial program talks to the device.
            await app.page.click(`${details} .monitor-toggle`);
            await app.waitVisible(monitor, 10000);
            await app.page.click(`${details} .trace-toggle`);
            await app.page.waitForFunction((selector) => document.querySelector(selector).textContent.includes('COM'),
                                           { timeout: 10000 }, `${monitor} .trace-path`);
            await world.serialExchange(link, 'AT', 'OK', desktop.credentials);

            // The view shows AT going to the device and OK coming back, with time and
            // direction, as text and hex.
            const rows = await harness.waitUntil(async () => {
                const shown = await app.page.$$eval(`${monitor} .monitor-record`, (all) => all.map((row) => ({
                    toNetwork: row.classList.contains('to-network'),
                    time: row.querySelector('.time').textContent,
                    hex: row.querySelector('.hex').textContent,
                    text: row.querySelector('.text').textContent,
                })));
                const sent = shown.findIndex((row) => row.toNetwork && row.text.includes('AT'));
                const answer = shown.findIndex((row, index) => index > sent && !row.toNetwork && row.text.includes('OK'));
                return sent >= 0 && answer > sent ? { sent: shown[sent], answer: shown[answer] } : null;
            }, 'AT and OK in the monitor', 30000);
            assert.match(rows.sent.time, /^\d\d:\d\d:\d\d\.\d\d\d$/);
            assert.ok(rows.sent.hex.startsWith('41 54'), rows.sent.hex);
            assert.ok(rows.answer.hex.includes('4f 4b'), rows.answer.hex);

            // The counters have moved both ways.
            const counts = await harness.waitUntil(async () => {
                const shown = await app.page.evaluate((selector) => ({
                    out: Number(document.querySelector(`${selector} .bytes-to-network`).textContent.replace(/[^0-9]/g, '')),
                    in: Number(document.querySelector(`${selector} .bytes-from-network`).textContent.replace(/[^0-9]/g, '')),
                }), details);
                return shown.out >= 4 && shown.in >= 4 ? shown : null;
            }, 'the counters to show the exchange', 10000);
            assert.ok(counts.out >= 4 && counts.in >= 4, JSON.stringify(counts));

            // The trace is the user's alone, in the application's private state directory.
            const trace = path.join(desktop.home, '.local', 'state', 'corrivo2', 'traces', `${path.basename(link)}.trace`);
            await harness.waitUntil(() => fs.existsSync(trace) && fs.readFileSync(trace, 'utf8').includes(' > 4154'),
                                    'the trace to hold the exchange', 10000);
            const status = fs.lstatSync(trace);
            assert.ok(status.isFile());
            assert.strictEqual(status.mode & 0o777, 0o600);
            assert.strictEqual(status.uid, desktop.uid);
            assert.strictEqual(fs.statSync(path.dirname(trace)).mode & 0o777, 0o700);

            await removePort(app, PORT_TYPE);
            await logout(app);
            await assertNothingLeft(assert, app, helper, marker, serialDir);
        });
    },

    async 'the VPN server restarts mid-session: tunnel and serial port come back by themselves'({ assert }) {
        await withJourney('restart', async ({ app, demo, desktop, helper, serialDir, marker }) => {
            const device = demo.device(DEVICE);
            await signInAsDemoUser(app, demo);
            await connectTo(app, demo, DEVICE);
            const link = await createPort(app, DEVICE, PORT_TYPE, serialDir);
            await world.serialExchange(link, 'AT', 'OK', desktop.credentials);

            demo.serverStop();
            await waitStatusRow(app, 'orange', 30000);
            demo.serverStart();
            await waitStatusRow(app, 'green', 90000);
            const page = await world.httpGet(`http://${device.vpn_ip}/`);
            assert.ok(page.body.includes(device.name));
            // The port reconnects after the tunnel, without anyone touching it.
            await world.serialExchange(link, 'ID?', deviceAnswer(demo, DEVICE, PORT_TYPE), desktop.credentials, 60000);

            await removePort(app, PORT_TYPE);
            await logout(app);
            await assertNothingLeft(assert, app, helper, marker, serialDir);
        });
    },

    async 'sleep with the daemon stopped, then resume: the inhibitor goes at once, tunnel and serial port come back'({ assert }) {
        await withBus(harness, 'system', async (system) => {
            await system.mock(harness, 'logind', 'org.freedesktop.login1');
            const inhibitors = () => (system.inhibitors() || [['?', 'no answer']]).map((entry) => entry[1]);
            const prepareForSleep = (sleeping) => system.prepareForSleep(sleeping);
            await withJourney('sleep', async ({ app, demo, desktop, helper, serialDir, marker }) => {
                await signInAsDemoUser(app, demo);
                await connectTo(app, demo, DEVICE);
                const link = await createPort(app, DEVICE, PORT_TYPE, serialDir);
                await world.serialExchange(link, 'AT', 'OK', desktop.credentials);
                await harness.waitUntil(async () => JSON.stringify(inhibitors()) === '["Corrivo 2"]',
                                        'the delay inhibitor while connected', 10000);

                // The machine goes to sleep and the daemon hangs: the application lets go at once.
                const daemons = helper.daemons().map((entry) => entry.pid);
                assert.ok(daemons.length > 0, 'the daemon runs');
                for (const pid of daemons)
                    process.kill(pid, 'SIGSTOP');
                const asleep = Date.now();
                assert.strictEqual(prepareForSleep(true), true);
                await harness.waitUntil(async () => JSON.stringify(inhibitors()) === '[]', 'the inhibitor let go', 5000);
                const released = Date.now() - asleep;
                assert.ok(released <= 1500, `the inhibitor went after ${released} ms`);

                // Awake: everything runs on; the tunnel and the port are back within 15 s.
                for (const pid of daemons)
                    process.kill(pid, 'SIGCONT');
                const awake = Date.now();
                assert.strictEqual(prepareForSleep(false), true);
                await world.serialExchange(link, 'ID?', deviceAnswer(demo, DEVICE, PORT_TYPE), desktop.credentials,
                                           15000);
                const back = Date.now() - awake;
                assert.ok(back <= 15000, `the port answered ${back} ms after resume`);
                await waitStatusRow(app, 'green', 1000);
                console.log(`sleep: inhibitor released in ${released} ms, serial port back ${back} ms after resume`);

                await removePort(app, PORT_TYPE);
                await logout(app);
                await assertNothingLeft(assert, app, helper, marker, serialDir);
            }, { env: system.env() });
        });
    },

    async 'a killed renderer: the window is replaced, the tunnel stopped, the user connects again'({ assert }) {
        await withJourney('renderer', async ({ app, demo, helper, serialDir, marker }) => {
            const device = demo.device(DEVICE);
            await signInAsDemoUser(app, demo);
            await connectTo(app, demo, DEVICE);
            const [daemon] = helper.daemons();
            assert.ok(daemon, 'no VPN daemon while connected');

            const renderers = world.rendererProcesses(marker);
            assert.ok(renderers.length > 0, 'no renderer process found');
            const oldPage = app.page;
            for (const renderer of renderers)
                process.kill(renderer.pid, 'SIGKILL');

            // The old tunnel goes down with the old window.
            await harness.waitUntil(() => !isAlive(daemon.pid), 'the old VPN daemon to end', 30000);

            // The replacement window's page: from the stored state, on its own.
            const newPage = await harness.waitUntil(async () => {
                const pages = await app.browser.pages();
                const candidate = pages.find((p) => p !== oldPage && p.url().startsWith('qrc:'));
                if (!candidate)
                    return null;
                const ready = await candidate.evaluate(() => typeof window.HLV === 'object' && window.HLV !== null);
                return ready ? candidate : null;
            }, 'the replacement window', 60000);
            app.page = newPage;
            app.page.on('console', (message) => { app.output += `[page] ${message.text()}\n`; });

            // Signed in again on its own with the stored credentials; the new bridge
            // brings the last device back, possibly before the page listens: the page
            // shows the tunnel as it is, without anyone touching it.
            await app.waitVisible('#domainsContainer', 60000);
            await dismissTour(app, 1500);
            await waitStatusRow(app, 'green', 60000);
            await app.page.waitForSelector(`#domainsContainer .device[data-id="${DEVICE}"].bg-green`, { timeout: 10000 });
            assert.strictEqual(await app.page.evaluate(() => new Promise((resolve) => HLV.vpn.getStatus(resolve))), 3);
            // And the user can connect again.
            await connectTo(app, demo, DEVICE);
            assert.strictEqual(helper.daemons().length, 1);
            const page = await world.httpGet(`http://${device.vpn_ip}/`);
            assert.ok(page.body.includes(device.name));

            await logout(app);
            await assertNothingLeft(assert, app, helper, marker, serialDir);
        });
    },

    async 'the helper killed and started again, then the application killed: no daemon outlives either'({ assert }) {
        await withJourney('helper', async ({ app, demo, helper }) => {
            const device = demo.device(DEVICE);
            await signInAsDemoUser(app, demo);
            await connectTo(app, demo, DEVICE);
            const [first] = helper.daemons();
            assert.ok(first, 'no VPN daemon while connected');

            // The helper goes: its daemon goes with it, and the page shows the tunnel down.
            await helper.kill('SIGKILL');
            await harness.waitUntil(() => !isAlive(first.pid), 'the daemon to end with its helper', 10000);
            await app.page.waitForFunction(() => document.querySelector('.vpn-status-row.bg-green') === null,
                                           { timeout: 30000 });
            assert.notStrictEqual(await app.page.evaluate(() => new Promise((resolve) => HLV.vpn.getStatus(resolve))), 3);

            // A helper started again serves the next connection.
            await helper.start();
            await connectTo(app, demo, DEVICE);
            const [second] = helper.daemons();
            assert.ok(second, 'no VPN daemon from the restarted helper');
            const page = await world.httpGet(`http://${device.vpn_ip}/`);
            assert.ok(page.body.includes(device.name));

            // The application killed outright: its helper connection closes with it, and
            // the daemon ends within a few seconds.
            process.kill(app.child.pid, 'SIGKILL');
            await harness.waitUntil(() => !isAlive(second.pid), 'the daemon to end with the killed application', 5000);
            assert.deepStrictEqual(helper.daemons(), []);
        });
    },
};
