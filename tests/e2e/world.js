'use strict';

// The end-to-end tests' surroundings: the demo world (VPN lab, simulated devices, cloud
// simulator) held by guard.sh, a serial program, and the process checks that prove
// nothing was left behind.

const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');

const GUARD = path.join(__dirname, 'guard.sh');
const LAB = path.join(__dirname, '..', '..', 'tools', 'lab', 'lab.sh');
const GUARD_TIMEOUT_MS = 60000;

function binDir() {
    const dir = process.env.CORRIVO_BIN_DIR;
    if (!dir)
        throw new Error('CORRIVO_BIN_DIR names no build directory');
    return dir;
}

// KEY=VALUE lines as demo.sh writes them (values single-quoted where they hold blanks).
function readEnvFile(file) {
    const values = {};
    for (const line of fs.readFileSync(file, 'utf8').split('\n')) {
        const match = /^([A-Z0-9_]+)=(.*)$/.exec(line);
        if (!match)
            continue;
        let value = match[2];
        if (value.length >= 2 && value.startsWith("'") && value.endsWith("'"))
            value = value.slice(1, -1);
        values[match[1]] = value;
    }
    return values;
}

// The demo world of one test. guard.sh runs outside this process tree (setsid -f) and
// takes the world down when this process closes its FIFO or dies, so a test that is
// killed leaves nothing.
class DemoWorld {
    constructor(name, dir, serialDir) {
        this.name = name;
        this.dir = dir;
        this.serialDir = serialDir;
        this.guard = null;
        this.output = '';
        this.settings = null;
        this.ended = null;
    }

    async start() {
        fs.mkdirSync(this.dir, { recursive: true });
        // This process holds the FIFO's only writing end: when it closes, or this process
        // dies, the guard reads the end and takes the world down.
        const fifo = path.join(this.dir, 'guard.fifo');
        fs.rmSync(fifo, { force: true });
        execFileSync('mkfifo', ['-m', '600', fifo]);
        this.fifoFd = fs.openSync(fifo, fs.constants.O_RDWR);
        const env = Object.assign({}, process.env, { CORRIVO_SERIAL_DIR: this.serialDir });
        this.guard = spawn('setsid', ['-f', 'bash', GUARD, this.name, binDir(), this.dir, fifo],
                           { env, stdio: ['ignore', 'pipe', 'pipe'] });
        this.guard.stderr.on('data', (chunk) => { this.output += chunk.toString(); });
        this.ended = new Promise((resolve) => this.guard.stdout.on('end', resolve));
        await new Promise((resolve, reject) => {
            let text = '';
            const timer = setTimeout(() => reject(new Error(`demo world not up:\n${this.output}`)), GUARD_TIMEOUT_MS);
            this.guard.stdout.on('data', (chunk) => {
                text += chunk.toString();
                if (text.includes('GUARD READY')) {
                    clearTimeout(timer);
                    resolve();
                } else if (text.includes('GUARD FAILED')) {
                    clearTimeout(timer);
                    reject(new Error(`demo world failed:\n${this.output}`));
                }
            });
            this.ended.then(() => {
                clearTimeout(timer);
                reject(new Error(`demo guard ended:\n${this.output}`));
            });
        });
        this.settings = readEnvFile(path.join(this.dir, 'demo.env'));
        this.fixture = JSON.parse(fs.readFileSync(this.settings.DEMO_FIXTURE, 'utf8'));
        return this;
    }

    // The environment that points the application at the demo cloud.
    appEnv() {
        return { CORRIVO_CLOUD_URL: this.settings.CORRIVO_CLOUD_URL, CORRIVO_CA_FILE: this.settings.CORRIVO_CA_FILE };
    }

    device(id) {
        for (const domain of this.fixture.domains) {
            const found = (domain.devices || []).find((device) => device.id === id);
            if (found)
                return found;
        }
        throw new Error(`no device ${id} in the demo fixture`);
    }

    serverStop() {
        execFileSync('bash', [LAB, '-n', this.name, 'server-stop'], { stdio: 'pipe' });
    }

    serverStart() {
        execFileSync('bash', [LAB, '-n', this.name, 'server-start'], { stdio: 'pipe' });
    }

    // Closes the guard's input and waits until the world is gone.
    async stop() {
        if (!this.guard)
            return;
        this.guard = null;
        fs.closeSync(this.fifoFd);
        const done = await Promise.race([this.ended.then(() => true),
                                         new Promise((resolve) => setTimeout(() => resolve(false), GUARD_TIMEOUT_MS))]);
        if (!done)
            throw new Error(`demo world ${this.name} did not go down:\n${this.output}`);
    }
}

function httpGet(url, timeoutMs = 5000) {
    return new Promise((resolve, reject) => {
        const request = http.get(url, (response) => {
            let body = '';
            response.setEncoding('utf8');
            response.on('data', (chunk) => { body += chunk; });
            response.on('end', () => resolve({ status: response.statusCode, body }));
        });
        request.on('error', reject);
        request.setTimeout(timeoutMs, () => request.destroy(new Error(`no answer from ${url}`)));
    });
}

// Opens the port's link as a serial program would, sends `command` every two seconds
// until `expected` comes back or `timeoutMs` passes; resolves with what was read.
function serialExchange(link, command, expected, timeoutMs = 30000) {
    return new Promise((resolve, reject) => {
        const child = spawn('socat', ['-', `FILE:${link},rawer,noctty`], { stdio: ['pipe', 'pipe', 'pipe'] });
        let received = '';
        let errors = '';
        let settled = false;
        const finish = (error) => {
            if (settled)
                return;
            settled = true;
            clearInterval(resend);
            clearTimeout(timer);
            child.kill('SIGKILL');
            if (error)
                reject(error);
            else
                resolve(received);
        };
        const send = () => child.stdin.write(command + '\r\n');
        const resend = setInterval(send, 2000);
        const timer = setTimeout(() => finish(new Error(
            `no "${expected}" from ${link} after ${timeoutMs} ms; read ${JSON.stringify(received)} ${errors}`)), timeoutMs);
        child.stdout.on('data', (chunk) => {
            received += chunk.toString();
            if (received.includes(expected))
                finish(null);
        });
        child.stderr.on('data', (chunk) => { errors += chunk.toString(); });
        child.stdin.on('error', () => {});
        child.on('exit', () => finish(received.includes(expected) ? null
            : new Error(`serial program ended: ${errors} read ${JSON.stringify(received)}`)));
        send();
    });
}

// Processes that carry `marker` in their environment: what the application started
// (the VPN daemon, serial relays, pair holders, the web engine's helpers).
function processesWithMarker(marker) {
    const found = [];
    const needle = Buffer.from(`CORRIVO_E2E_RUN=${marker}\0`);
    for (const entry of fs.readdirSync('/proc')) {
        if (!/^[0-9]+$/.test(entry))
            continue;
        try {
            const environ = fs.readFileSync(`/proc/${entry}/environ`);
            if (!environ.includes(needle))
                continue;
            const cmdline = fs.readFileSync(`/proc/${entry}/cmdline`, 'utf8').split('\0').filter((part) => part !== '');
            let exe = '';
            try {
                exe = fs.readlinkSync(`/proc/${entry}/exe`);
            } catch (error) {
                // a zombie has no executable any more
            }
            const stat = fs.readFileSync(`/proc/${entry}/stat`, 'utf8');
            const state = stat.slice(stat.lastIndexOf(')') + 2, stat.lastIndexOf(')') + 3);
            if (state === 'Z')
                continue;
            const ppid = Number(stat.slice(stat.lastIndexOf(')') + 4).split(' ')[0]);
            found.push({ pid: Number(entry), ppid, exe: path.basename(exe), cmdline });
        } catch (error) {
            // ended while we looked
        }
    }
    return found;
}

// The web engine's renderers: forked by its zygote, so they keep the zygote's command
// line; what tells them apart is a parent that is a web engine process itself.
function rendererProcesses(marker) {
    const engine = processesWithMarker(marker).filter((entry) => entry.exe === 'QtWebEngineProcess');
    const pids = new Set(engine.map((entry) => entry.pid));
    return engine.filter((entry) => pids.has(entry.ppid));
}

module.exports = { DemoWorld, httpGet, serialExchange, processesWithMarker, rendererProcesses, readEnvFile };
