'use strict';

// Drives the real application for UI tests: starts it with the web engine's remote
// debugging on a free local port, connects puppeteer-core to it, and always takes it
// down again, also when a test fails or the runner is interrupted.

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const net = require('node:net');
const path = require('node:path');
const puppeteer = require('puppeteer-core');

const START_TIMEOUT_MS = 60000;
const STOP_TIMEOUT_MS = 10000;

const running = new Set();

function killGroup(child, signal) {
    try {
        process.kill(-child.pid, signal);
    } catch (error) {
        if (error.code !== 'ESRCH')
            throw error;
    }
}

// A runner that is interrupted still takes its applications down.
function killAllNow() {
    for (const app of running)
        killGroup(app.child, 'SIGKILL');
    running.clear();
}
process.on('exit', killAllNow);
for (const signal of ['SIGINT', 'SIGTERM']) {
    process.on(signal, () => {
        killAllNow();
        process.exit(130);
    });
}

function freePort() {
    return new Promise((resolve, reject) => {
        const server = net.createServer();
        server.unref();
        server.on('error', reject);
        server.listen(0, '127.0.0.1', () => {
            const { port } = server.address();
            server.close(() => resolve(port));
        });
    });
}

function sleep(ms) {
    return new Promise((resolve) => setTimeout(resolve, ms));
}

function getJson(url) {
    return new Promise((resolve, reject) => {
        const request = http.get(url, (response) => {
            let body = '';
            response.setEncoding('utf8');
            response.on('data', (chunk) => { body += chunk; });
            response.on('end', () => {
                try {
                    resolve(JSON.parse(body));
                } catch (error) {
                    reject(error);
                }
            });
        });
        request.on('error', reject);
        request.setTimeout(2000, () => request.destroy(new Error('timeout')));
    });
}

// Polls `check` until it returns a truthy value; fails with `what` after `timeoutMs`.
async function waitUntil(check, what, timeoutMs = START_TIMEOUT_MS) {
    const deadline = Date.now() + timeoutMs;
    let lastError = null;
    while (Date.now() < deadline) {
        try {
            const value = await check();
            if (value)
                return value;
        } catch (error) {
            if (error.fatal)
                throw error;
            lastError = error;
        }
        await sleep(100);
    }
    throw new Error(`timed out waiting for ${what}` + (lastError ? ` (${lastError.message})` : ''));
}

class App {
    // options.home: HOME of the application (settings live there; kept over restarts)
    // options.env: extra environment (a null value removes the variable); options.args:
    // command-line arguments; options.user: {uid, gid} to run it as (the runner is root)
    constructor(options = {}) {
        this.binary = options.binary || process.env.CORRIVO_APP;
        if (!this.binary)
            throw new Error('CORRIVO_APP names no application binary');
        this.home = options.home || process.env.HOME;
        this.env = options.env || {};
        this.args = options.args || [];
        this.user = options.user || null;
        // How long one protocol call may take (puppeteer's default when not given).
        this.protocolTimeout = options.protocolTimeout;
        this.child = null;
        this.browser = null;
        this.page = null;
        this.output = '';
        this.exited = null;
    }

    async start() {
        const port = await freePort();
        fs.mkdirSync(this.home, { recursive: true });
        const env = Object.assign({}, process.env, {
            HOME: this.home,
            XDG_CONFIG_HOME: path.join(this.home, '.config'),
            XDG_DATA_HOME: path.join(this.home, '.local', 'share'),
            XDG_CACHE_HOME: path.join(this.home, '.cache'),
            QTWEBENGINE_REMOTE_DEBUGGING: `127.0.0.1:${port}`,
        }, this.env);
        for (const [name, value] of Object.entries(env)) {
            if (value === null || value === undefined)
                delete env[name];
        }
        this.output = '';
        this.exited = null;
        // Its own process group, so that the web engine's helpers go down with it.
        const spawnOptions = { env, detached: true, stdio: ['ignore', 'pipe', 'pipe'] };
        if (this.user)
            Object.assign(spawnOptions, { uid: this.user.uid, gid: this.user.gid });
        this.child = spawn(this.binary, this.args, spawnOptions);
        running.add(this);
        const exited = new Promise((resolve) => {
            this.child.on('exit', (code, signal) => {
                this.exited = { code, signal };
                resolve(this.exited);
            });
        });
        this.exitedPromise = exited;
        for (const stream of [this.child.stdout, this.child.stderr])
            stream.on('data', (chunk) => { this.output += chunk.toString(); });

        const browserURL = `http://127.0.0.1:${port}`;
        await waitUntil(async () => {
            this.assertRunning();
            const list = await getJson(`${browserURL}/json/list`);
            return list.some((target) => target.type === 'page' && target.url.startsWith('qrc:'));
        }, 'the application page');
        this.browser = await puppeteer.connect({ browserURL, defaultViewport: null,
                                                 protocolTimeout: this.protocolTimeout });
        // The target list can name the qrc: page a moment before the page's main frame has
        // committed that URL, so look again until puppeteer sees it too.
        this.page = await waitUntil(async () => {
            this.assertRunning();
            const pages = await this.browser.pages();
            return pages.find((page) => page.url().startsWith('qrc:'));
        }, 'a page on qrc: seen by puppeteer');
        this.page.on('console', (message) => { this.output += `[page] ${message.text()}\n`; });
        this.page.on('pageerror', (error) => { this.output += `[page error] ${error.message}\n`; });
        // Started means the page has reached the bridge over the web channel.
        await this.page.waitForFunction(() => typeof window.HLV === 'object' && window.HLV !== null,
                                        { timeout: START_TIMEOUT_MS });
        return this;
    }

    assertRunning() {
        if (!this.exited)
            return;
        const error = new Error(`application ended early: ${JSON.stringify(this.exited)}\n${this.output}`);
        error.fatal = true;  // no use waiting any longer
        throw error;
    }

    async stop() {
        if (this.browser) {
            try {
                this.browser.disconnect();
            } catch (error) {
                // already gone with the application
            }
            this.browser = null;
            this.page = null;
        }
        if (!this.child)
            return;
        if (!this.exited) {
            killGroup(this.child, 'SIGTERM');
            const ended = await Promise.race([this.exitedPromise, sleep(STOP_TIMEOUT_MS).then(() => null)]);
            if (!ended) {
                killGroup(this.child, 'SIGKILL');
                await this.exitedPromise;
            }
        }
        // Helpers of the web engine that outlived the main process.
        killGroup(this.child, 'SIGKILL');
        running.delete(this);
        this.child = null;
    }

    async restart() {
        await this.stop();
        return this.start();
    }

    // Waits until nothing inside `scope` moves any more: no running CSS animation or
    // transition, no jQuery effect (slides, fades), for two frames in a row. For a click
    // that must land where an element ends up, or a picture of the settled page.
    async settle(scope = 'body', timeoutMs = 10000) {
        await this.page.waitForFunction((selector) => {
            const root = document.querySelector(selector);
            const inside = (node) => root !== null && node instanceof Node && root.contains(node);
            const moving = document.getAnimations().some((animation) => animation.playState === 'running'
                && animation.effect && inside(animation.effect.target))
                || (window.jQuery && window.jQuery.timers || []).some((timer) => inside(timer.elem));
            window.__settledFrames = moving ? 0 : (window.__settledFrames || 0) + 1;
            return window.__settledFrames >= 2;
        }, { timeout: timeoutMs, polling: 'raf' }, scope);
    }

    // Waits for an element that is shown (in the layout and not hidden).
    async waitVisible(selector, timeoutMs = 30000) {
        return this.page.waitForSelector(selector, { visible: true, timeout: timeoutMs });
    }

    async waitHidden(selector, timeoutMs = 30000) {
        return this.page.waitForSelector(selector, { hidden: true, timeout: timeoutMs });
    }

    async text(selector) {
        return this.page.$eval(selector, (element) => element.textContent.trim());
    }

    async waitText(selector, expected, timeoutMs = 30000) {
        await this.page.waitForFunction((sel, want) => {
            const element = document.querySelector(sel);
            return element !== null && element.textContent.trim() === want;
        }, { timeout: timeoutMs }, selector, expected);
    }

    // The login route is drawn: the splash screen has given way to the form.
    async waitLoginForm() {
        await this.waitHidden('.splash-screen');
        await this.waitVisible('#loginContainer input[name="username"]');
    }

    async screenshot(file) {
        fs.mkdirSync(path.dirname(file), { recursive: true });
        await this.page.screenshot({ path: file });
    }
}

// A fresh home directory under the test's own HOME, removed by cleanup().
function freshHome(name) {
    const base = process.env.HOME || fs.mkdtempSync('/tmp/corrivo-ui-');
    const home = path.join(base, name);
    fs.rmSync(home, { recursive: true, force: true });
    fs.mkdirSync(home, { recursive: true });
    return home;
}

// Runs `body(app)` with a started application and stops it whatever happens; on a
// failure the application's output is attached to the error.
async function withApp(options, body) {
    const app = new App(options);
    try {
        await app.start();
        await body(app);
    } catch (error) {
        error.message += `\n--- application output ---\n${app.output.slice(-4000)}`;
        throw error;
    } finally {
        await app.stop();
    }
}

// Thrown by a test whose precondition the application does not offer yet; the runner
// counts it as skipped, never as passed.
class Skip extends Error {}

// Emits a signal of the application's own objects through the test hook (only in the
// corrivo2_uitest binary): `property` "" is the bridge, otherwise one of its
// object-valued properties ("auth", "vpn", "api"). Resolves false when there is no
// such signal.
async function emitNative(app, property, signal) {
    return app.page.evaluate((p, s) => new Promise((resolve, reject) => {
        if (!window.channel || !window.channel.objects.TestHook)
            reject(new Error('no TestHook on the channel: start CORRIVO_UITEST_APP'));
        else
            window.channel.objects.TestHook.emitSignal(p, s, resolve);
    }), property, signal);
}

// The same for a signal with one string argument.
async function emitNativeWith(app, property, signal, argument) {
    return app.page.evaluate((p, s, a) => new Promise((resolve, reject) => {
        if (!window.channel || !window.channel.objects.TestHook)
            reject(new Error('no TestHook on the channel: start CORRIVO_UITEST_APP'));
        else
            window.channel.objects.TestHook.emitSignalWith(p, s, a, resolve);
    }), property, signal, argument);
}

module.exports = { App, withApp, freshHome, freePort, waitUntil, sleep, Skip, emitNative, emitNativeWith };
