'use strict';

// The login page against the application as shipped (no cloud needed here).

const RED = 'rgb(255, 1, 46)';

// Loads the entry page again with a recorder installed first, so the splash screen is
// observed from the very first frame.
async function reloadRecorded(app) {
    await app.page.evaluateOnNewDocument(() => {
        window.__splash = { visibleAtStart: null, formWhileSplash: false };
        document.addEventListener('DOMContentLoaded', () => {
            const splash = document.querySelector('.splash-screen');
            window.__splash.visibleAtStart = splash !== null && !splash.classList.contains('hn');
            new MutationObserver(() => {
                if (!splash.classList.contains('hn') && document.querySelector('#loginContainer'))
                    window.__splash.formWhileSplash = true;
            }).observe(document.body, { subtree: true, childList: true, attributes: true });
        });
    });
    await app.page.goto('qrc:/index.html');
}

async function feedback(app) {
    return app.page.$eval('.form-row-feedback', (element) => ({
        text: element.textContent.trim(),
        red: element.classList.contains('bg-red'),
        background: getComputedStyle(element).backgroundColor,
        visible: getComputedStyle(element).visibility !== 'hidden',
    }));
}

module.exports = {
    async 'splash screen gives way to the login form, focus in the user name'({ harness, assert }) {
        await harness.withApp({ home: harness.freshHome('splash') }, async (app) => {
            await reloadRecorded(app);
            await app.waitLoginForm();
            const state = await app.page.evaluate(() => ({
                splash: window.__splash,
                focused: document.activeElement && document.activeElement.getAttribute('name'),
                route: location.pathname,
                overlayHidden: document.querySelector('#loginContainer .form-overlay').classList.contains('hn'),
                logoutHidden: document.querySelector('.logout').classList.contains('hn'),
                sidebarHidden: document.querySelector('.sidebar').classList.contains('hn'),
            }));
            assert.strictEqual(state.splash.visibleAtStart, true, 'splash shown at start');
            assert.strictEqual(state.splash.formWhileSplash, false, 'form never drawn under the splash');
            assert.strictEqual(state.focused, 'username');
            assert.strictEqual(state.route, '/login');
            assert.ok(state.overlayHidden, 'overlay hidden');
            assert.ok(state.logoutHidden, 'logout icon hidden');
            assert.ok(state.sidebarHidden, 'sidebar hidden on the login page');
            assert.strictEqual(await app.text('.app-name .name'), 'Corrivo 2');
            assert.strictEqual(await app.text('.app-name .version'), 'v2.0.1');
        });
    },

    async 'empty user name and empty password are refused in red'({ harness, assert }) {
        await harness.withApp({ home: harness.freshHome('empty') }, async (app) => {
            await app.waitLoginForm();
            assert.strictEqual((await feedback(app)).visible, false, 'no message before an attempt');

            await app.page.click('#loginContainer .login');
            let shown = await feedback(app);
            assert.deepStrictEqual([shown.text, shown.red, shown.background, shown.visible],
                                   ['Username is empty', true, RED, true]);

            await app.page.type('#loginContainer input[name="username"]', 'someone');
            await app.page.click('#loginContainer .login');
            shown = await feedback(app);
            assert.deepStrictEqual([shown.text, shown.red, shown.background],
                                   ['Password is empty', true, RED]);
        });
    },

    async 'Enter in the password field submits the form'({ harness, assert }) {
        await harness.withApp({ home: harness.freshHome('enter') }, async (app) => {
            await app.waitLoginForm();
            await app.page.focus('#loginContainer input[name="password"]');
            await app.page.keyboard.type('secret');
            await app.page.keyboard.press('Enter');
            await app.waitText('.form-row-feedback', 'Username is empty', 5000);
            assert.ok(await app.page.$eval('.form-row-feedback', (e) => e.classList.contains('bg-red')));
        });
    },

    async 'clicking a label focuses its field'({ harness, assert }) {
        await harness.withApp({ home: harness.freshHome('label') }, async (app) => {
            await app.waitLoginForm();
            await app.page.click('#loginContainer label[data-input="password"]');
            const focused = await app.page.evaluate(() => document.activeElement.getAttribute('name'));
            assert.strictEqual(focused, 'password');
        });
    },

    async 'the administrator page asks for the password and keeps its overlay while relaunching'({ harness, assert }) {
        // A stand-in for sudo: the relaunch must not start a second real application.
        const stubDir = require('fs').mkdtempSync(require('path').join(require('os').tmpdir(), 'corrivo-sudo-'));
        require('fs').writeFileSync(require('path').join(stubDir, 'sudo'), '#!/bin/sh\ncat > /dev/null\n', { mode: 0o700 });
        try {
            await harness.withApp({ home: harness.freshHome('root-form'),
                                    env: { PATH: stubDir + ':' + process.env.PATH } }, async (app) => {
                await app.waitLoginForm();
                await app.page.evaluate(() => root.showPage(false));
                await app.waitVisible('#rootContainer input[name="password"]');
                assert.strictEqual(await app.text('#rootContainer .form-title'), 'Administrator permissions');
                assert.strictEqual(await app.text('.root-permissions-form .form-text'),
                                   'Please enter the admin password to provide the necessary permissions to execute Corrivo');
                assert.strictEqual(await app.page.evaluate(() => document.activeElement.getAttribute('name')), 'password');
                assert.ok(await app.page.$eval('.root-permissions-error-message', (e) => e.classList.contains('hn')));

                await app.page.keyboard.press('Enter');
                await app.waitText('.form-row-feedback', 'Password is empty', 5000);
                const shown = await feedback(app);
                assert.deepStrictEqual([shown.red, shown.background], [true, RED]);

                await app.page.type('#rootContainer input[name="password"]', 'root secret');
                // The bridge relaunches and this instance ends 500 ms later; until then the
                // overlay stays up and no error shows.
                const state = await app.page.evaluate(() => new Promise((resolve) => {
                    document.querySelector('#rootContainer .login').click();
                    setTimeout(() => resolve({
                        overlay: !document.querySelector('#rootContainer .form-overlay').classList.contains('hn'),
                        red: getComputedStyle(document.querySelector('.form-row-feedback')).color === 'rgb(255, 0, 0)',
                    }), 100);
                }));
                assert.strictEqual(state.overlay, true);
                // This instance ends by itself once the relaunch is on its way.
                const exited = await Promise.race([app.exitedPromise, harness.sleep(15000).then(() => null)]);
                assert.ok(exited, 'the application ended for its relaunch');
            }).catch((error) => {
                // The application ending under the harness is the expected outcome.
                if (!/closed|detached|Target|Session/i.test(error.message))
                    throw error;
            });
        } finally {
            require('fs').rmSync(stubDir, { recursive: true, force: true });
        }
    },

    async 'without a way to obtain rights the only button closes the application'({ harness, assert }) {
        await harness.withApp({ home: harness.freshHome('root-error') }, async (app) => {
            await app.waitLoginForm();
            await app.page.evaluate(() => root.showPage(true));
            await app.waitVisible('.root-permissions-error-message');
            assert.strictEqual(await app.text('.root-permissions-error-message'),
                               'Please launch Corrivo with root permissions');
            assert.ok(await app.page.$eval('.root-permissions-form', (e) => e.classList.contains('hn')));
            assert.deepStrictEqual(await app.page.$$eval('#rootContainer button', (b) => b.map((e) => e.textContent)), ['OK']);
            // The application may be gone before the click is even acknowledged.
            await app.page.click('#rootContainer .login').catch((error) => {
                if (!/closed/i.test(error.message))
                    throw error;
            });
            const exited = await Promise.race([app.exitedPromise, harness.sleep(15000).then(() => null)]);
            assert.ok(exited, 'the application ended');
            assert.strictEqual(exited.code, 0);
        });
    },

    async 'without rights the administrator view says why, as text'({ harness, assert }) {
        const fs = require('fs');
        const path = require('path');
        const dir = fs.mkdtempSync(path.join(require('os').tmpdir(), 'corrivo-rights-'));
        // Nothing listens at this socket, whose name carries markup: it must show as text.
        const socket = path.join(dir, '<img src=x onerror="window.__injected=1">.sock');
        const stubDir = path.join(dir, 'bin');
        fs.mkdirSync(stubDir);
        fs.writeFileSync(path.join(stubDir, 'sudo'), '#!/bin/sh\nexit 1\n', { mode: 0o700 });
        try {
            // With sudo the password form, without it the message whose button closes.
            for (const withSudo of [true, false]) {
                await harness.withApp({ home: harness.freshHome(withSudo ? 'rights-sudo' : 'rights-no-sudo'),
                                        env: { CORRIVO_VPN_LAUNCH: 'helper', CORRIVO_HELPER_SOCKET: socket,
                                               PATH: withSudo ? stubDir : path.join(dir, 'nothing') } }, async (app) => {
                    await app.waitVisible('#rootContainer .root-permissions-problem');
                    assert.strictEqual(await app.text('#rootContainer .root-permissions-problem'),
                                       `the helper corrivo2-helper is not running (nothing listens on ${socket})`);
                    assert.strictEqual(await app.page.$$eval('#rootContainer img', (e) => e.length), 0);
                    assert.strictEqual(await app.page.evaluate(() => window.__injected), undefined);
                    const shown = await app.page.evaluate(() => [
                        !document.querySelector('.root-permissions-form').classList.contains('hn'),
                        !document.querySelector('.root-permissions-error-message').classList.contains('hn'),
                    ]);
                    assert.deepStrictEqual(shown, [withSudo, !withSudo], `sudo ${withSudo ? 'present' : 'absent'}`);
                });
            }
        } finally {
            fs.rmSync(dir, { recursive: true, force: true });
        }
    },
};
