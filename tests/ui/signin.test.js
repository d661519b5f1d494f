'use strict';

// Signing in from the login page against the cloud simulator.

const path = require('node:path');
const { Simulator } = require('./simulator');

const MARKUP_USER = '<b>bob</b><img src="x" onerror="window.__ran = true">';

const FIXTURE = {
    users: [
        { username: 'alice', password: 'correct horse' },
        { username: MARKUP_USER, password: 'pw' },
    ],
    domains: [
        {
            id: 1,
            name: 'Plant North',
            vpn_enable: 1,
            devices: [{ id: 11, name: 'Gateway 01', type: 1, vpn_status: 1, vpn_ip: '10.8.0.11' }],
        },
    ],
};

const DOMAINS_WAIT_MS = 15000;

// Runs `body(app, simulator)` with a fresh simulator and application; both go down
// whatever happens.
async function withCloud(harness, name, body) {
    Simulator.require();
    const home = harness.freshHome(name);
    const simulator = new Simulator(FIXTURE, path.join(home, 'simulator'));
    await simulator.start();
    const app = new harness.App({ home, env: simulator.appEnv() });
    try {
        await app.start();
        await body(app, simulator);
    } catch (error) {
        error.message += `\n--- application output ---\n${app.output.slice(-4000)}\n--- simulator ---\n${simulator.output.slice(-2000)}`;
        throw error;
    } finally {
        await app.stop();
        await simulator.stop();
    }
}

// Records whether the form's overlay was ever shown, from now on.
async function watchOverlay(app) {
    await app.page.evaluate(() => {
        window.__overlayShown = false;
        const overlay = document.querySelector('.form-overlay');
        new MutationObserver(() => {
            if (!overlay.classList.contains('hn'))
                window.__overlayShown = true;
        }).observe(overlay, { attributes: true });
    });
}

async function signIn(app, username, password) {
    await app.waitLoginForm();
    await watchOverlay(app);
    await app.page.type('#loginContainer input[name="username"]', username);
    await app.page.type('#loginContainer input[name="password"]', password);
    await app.page.click('#loginContainer .login');
}

async function domainRequests(simulator) {
    const requests = await simulator.requests();
    return requests.filter((r) => r.method === 'GET' && r.path === '/api/v2/domain');
}

// The domains route follows a sign-in: the bridge asks the cloud for the domains.
async function expectDomainsRoute(harness, app, simulator, assert) {
    await harness.waitUntil(async () => (await domainRequests(simulator)).length > 0,
                            'the domain list request', DOMAINS_WAIT_MS);
    await app.waitVisible('#domainsContainer', DOMAINS_WAIT_MS);
    assert.strictEqual(await app.page.evaluate(() => location.pathname), '/domains');
    assert.strictEqual(await app.text('.domain .name'), 'Plant North');
}

module.exports = {
    async 'wrong credentials show their text in red; Enter submits'({ harness, assert }) {
        await withCloud(harness, 'wrong', async (app, simulator) => {
            await app.waitLoginForm();
            await watchOverlay(app);
            await app.page.type('#loginContainer input[name="username"]', 'alice');
            await app.page.type('#loginContainer input[name="password"]', 'wrong');
            await app.page.keyboard.press('Enter');
            await app.waitText('.form-row-feedback', 'Username and password are invalid');
            const state = await app.page.evaluate(() => ({
                red: document.querySelector('.form-row-feedback').classList.contains('bg-red'),
                overlayNow: !document.querySelector('.form-overlay').classList.contains('hn'),
                overlayShown: window.__overlayShown,
            }));
            assert.deepStrictEqual(state, { red: true, overlayNow: false, overlayShown: true });
            const keyRequests = (await simulator.requests()).filter((r) => r.path === '/api/v2/api_key');
            assert.strictEqual(keyRequests.length, 1, 'Enter sent one sign-in');
        });
    },

    async 'a correct sign-in shows the overlay, the user name and then the domains'({ harness, assert }) {
        await withCloud(harness, 'correct', async (app, simulator) => {
            await signIn(app, 'alice', 'correct horse');
            await app.waitText('.navbar .username', 'alice');
            assert.ok(await app.page.evaluate(() => window.__overlayShown), 'overlay shown while signing in');
            await app.waitVisible('.logout');
            await expectDomainsRoute(harness, app, simulator, assert);
        });
    },

    async 'a restart with stored credentials reaches the domains without typing'({ harness, assert }) {
        await withCloud(harness, 'restart', async (app, simulator) => {
            await signIn(app, 'alice', 'correct horse');
            await app.waitText('.navbar .username', 'alice');
            await app.restart();
            await app.waitHidden('.splash-screen');
            // The automatic sign-in is under way or done: no form to fill in.
            await app.waitVisible('.logout');
            const state = await app.page.evaluate(() => {
                const input = document.querySelector('#loginContainer input[name="username"]');
                const overlay = document.querySelector('#loginContainer .form-overlay');
                return {
                    typed: input ? input.value : '',
                    waiting: location.pathname === '/domains' || (overlay !== null && !overlay.classList.contains('hn')),
                };
            });
            assert.deepStrictEqual(state, { typed: '', waiting: true });
            await expectDomainsRoute(harness, app, simulator, assert);
        });
    },

    async 'the logout icon returns to the login form'({ harness, assert }) {
        await withCloud(harness, 'logout', async (app) => {
            await signIn(app, 'alice', 'correct horse');
            await app.waitVisible('.logout');
            await app.page.click('.logout');
            await app.page.waitForFunction(() => document.querySelector('.logout').classList.contains('hn'),
                                           { timeout: 10000 });
            await app.waitLoginForm();
            assert.strictEqual(await app.text('.navbar .username'), '');
            assert.strictEqual(await app.page.evaluate(() => location.pathname), '/login');
        });
    },

    async 'a user name with markup is shown as text'({ harness, assert }) {
        await withCloud(harness, 'markup', async (app) => {
            await signIn(app, MARKUP_USER, 'pw');
            await app.waitText('.navbar .username', MARKUP_USER);
            const state = await app.page.evaluate(() => ({
                elements: document.querySelector('.navbar .username').children.length,
                ran: window.__ran === true,
            }));
            assert.deepStrictEqual(state, { elements: 0, ran: false });
        });
    },
};
