'use strict';

// A signed-in session for the tests of the domains route: the cloud simulator with the
// test's fixture, the application pointed at it, a user signed in from the login form,
// and a stand-in for the desktop browser. Everything it starts goes down again, and the
// serial port pairs the application left in the test's own directory are removed.

const fs = require('node:fs');
const path = require('node:path');
const { Simulator } = require('./simulator');
const { removePairs } = require('./serial');

const DOMAINS_WAIT_MS = 20000;

// Qt hands URLs to the first `xdg-open` on the PATH: this one writes them to a file.
function installBrowserStandIn(home) {
    const bin = path.join(home, 'bin');
    const record = path.join(home, 'opened-urls');
    fs.mkdirSync(bin, { recursive: true });
    fs.writeFileSync(path.join(bin, 'xdg-open'), `#!/bin/sh\nprintf '%s\\n' "$@" >> '${record}'\n`, { mode: 0o755 });
    return { bin, record };
}

function openedUrls(session) {
    if (!fs.existsSync(session.browser.record))
        return [];
    return fs.readFileSync(session.browser.record, 'utf8').split('\n').filter((line) => line !== '');
}

async function signIn(app, username, password) {
    await app.waitLoginForm();
    await app.page.type('#loginContainer input[name="username"]', username);
    await app.page.type('#loginContainer input[name="password"]', password);
    await app.page.click('#loginContainer .login');
}

// Closes the guided tour on screen, if one appears within `waitMs`; resolves the text
// of its first step, or null when none came. `whileShown` (optional) runs while the
// step is on screen, before it is closed.
async function dismissTour(app, waitMs = 3000, whileShown = null) {
    try {
        await app.page.waitForSelector('.anno:not(.anno-hidden) .anno-content', { visible: true, timeout: waitMs });
    } catch (error) {
        return null;
    }
    // Anno.js finishes showing a step on timers of its own (up to 300 ms); a click
    // before then leaves them to run on a step already gone.
    await new Promise((resolve) => setTimeout(resolve, 400));
    const text = await app.text('.anno .anno-content');
    if (whileShown)
        await whileShown();
    await app.page.evaluate(() => {
        const skip = document.querySelector('.anno-btn-low-importance');
        const buttons = document.querySelectorAll('.anno-btn');
        (skip || buttons[buttons.length - 1]).click();
    });
    // The overlay fades out after the step and takes clicks until it is removed.
    await app.page.waitForFunction(() => document.querySelectorAll('.anno, .anno-overlay, .anno-placeholder').length === 0,
                                   { timeout: 5000 });
    return text;
}

// Calls a bridge slot from the page and resolves its answer.
function bridgeCall(app, name, ...args) {
    return app.page.evaluate((n, a) => new Promise((resolve) => HLV[n](...a, resolve)), name, args);
}

// Runs body(session) with session = { app, simulator, home, serialDir, browser, firstTour }
// (firstTour: the first text of the tour the domains page showed, or null).
// options: user, password, env (more environment for the application).
async function withSignedIn(harness, name, fixture, options, body) {
    Simulator.require();
    const home = harness.freshHome(name);
    const serialDir = path.join(home, 'serial');
    const browser = installBrowserStandIn(home);
    const simulator = new Simulator(fixture, path.join(home, 'simulator'));
    let app = null;
    try {
        await simulator.start();
        app = new harness.App({
            binary: options.binary,
            home,
            env: Object.assign(simulator.appEnv(), {
                CORRIVO_SERIAL_DIR: serialDir,
                PATH: `${browser.bin}:${process.env.PATH}`,
            }, options.env || {}),
        });
        await app.start();
        await signIn(app, options.user || 'alice', options.password || 'secret');
        await app.waitVisible('#domainsContainer', DOMAINS_WAIT_MS);
        const firstTour = await dismissTour(app);
        await body({ app, simulator, home, serialDir, browser, firstTour });
    } catch (error) {
        if (!(error instanceof harness.Skip)) {
            error.message += `\n--- application output ---\n${app ? app.output.slice(-6000) : ''}` +
                             `\n--- simulator ---\n${simulator.output.slice(-2000)}`;
        }
        throw error;
    } finally {
        if (app)
            await app.stop();
        await simulator.stop();
        if (fs.existsSync(serialDir))
            removePairs(serialDir);
    }
}

// Opens the port view of a device from its settings icon and waits until the list has
// unfolded after the slide: its rows take clicks only at their full height.
async function openPortView(app, deviceId) {
    await app.page.click(`#domainsContainer .device[data-id="${deviceId}"] .settings`);
    await app.page.waitForFunction((id) => document.querySelector('.page').classList.contains('slided') &&
        document.querySelector('#serialVirtualPortPage > .device').getAttribute('data-id') === String(id) &&
        !document.querySelector('#serialVirtualPortPage .virtual-serial-ports-container').classList.contains('closed'),
    { timeout: 10000 }, deviceId);
    await app.page.waitForFunction(() => {
        const container = document.querySelector('#serialVirtualPortPage .virtual-serial-ports-container');
        return container.clientHeight > 0 && container.clientHeight >= container.scrollHeight;
    }, { timeout: 10000 });
}

// Reloads the domains as the 30-second timer would and resolves once the page has
// handled the reply.
function reloadDomains(app) {
    return app.page.evaluate(() => new Promise((resolve) => {
        const original = domains.on_domains_reloaded;
        domains.on_domains_reloaded = function () {
            domains.on_domains_reloaded = original;
            original.apply(this, arguments);
            resolve();
        };
        HLV.reloadDomains();
    }));
}

// The counter of one direction in bytes, as far as its display tells.
async function shownBytes(app, selector) {
    return app.page.evaluate((s) => {
        const value = Number(document.querySelector(`${s} .value`).textContent);
        const unit = document.querySelector(`${s} .unit`).textContent;
        return value * 1024 ** ['B', 'kB', 'MB', 'GB'].indexOf(unit);
    }, selector);
}

module.exports = { withSignedIn, dismissTour, bridgeCall, openedUrls, shownBytes, signIn, openPortView, installBrowserStandIn, reloadDomains, DOMAINS_WAIT_MS };
