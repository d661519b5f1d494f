'use strict';

// The end-to-end tests' surroundings: the demo world (VPN lab, simulated devices, cloud
// simulator) held by guard.sh, a serial program, and the process checks that prove
// nothing was left behind.

const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const http = require('node:http');
const https = require('node:https');
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
    // desktop (optional): the Desktop whose accounts the guard makes and removes
    // marker (optional): the application's CORRIVO_E2E_RUN; the guard removes the serial
    // port pairs that carry it, and no others
    constructor(name, dir, serialDir, desktop = null, marker = null) {
        this.name = name;
        this.dir = dir;
        this.serialDir = serialDir;
        this.desktop = desktop;
        this.marker = marker;
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
        const env = Object.assign({}, process.env, { CORRIVO_SERIAL_DIR: this.serialDir },
                                  this.marker ? { CORRIVO_E2E_PAIRS_OF: this.marker } : {},
                                  this.desktop ? this.desktop.guardEnv() : {});
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
        if (this.desktop)
            this.desktop.prepare(this.settings);
        return this;
    }

    // The environment that points the application at the demo cloud.
    appEnv() {
        const caFile = this.desktop ? this.desktop.caFile : this.settings.CORRIVO_CA_FILE;
        return { CORRIVO_CLOUD_URL: this.settings.CORRIVO_CLOUD_URL, CORRIVO_CA_FILE: caFile };
    }

    device(id) {
        for (const domain of this.fixture.domains) {
            const found = (domain.devices || []).find((device) => device.id === id);
            if (found)
                return found;
        }
        throw new Error(`no device ${id} in the demo fixture`);
    }

    // The simulators of this world: the processes whose command line names its fixture.
    simulators() {
        return listProcesses().filter((entry) => {
            try {
                return entry.cmdline.includes(this.settings.DEMO_FIXTURE);
            } catch (error) {
                return false;
            }
        });
    }

    // The control token of this world's simulators (root reads it from its file).
    controlToken() {
        return fs.readFileSync(this.settings.DEMO_CONTROL_TOKEN_FILE, 'utf8').trim();
    }

    // A request to the cloud simulator's control endpoints with `token` (null: none);
    // resolves with { status, body } whatever the status.
    control(method, endpoint, body, token) {
        return new Promise((resolve, reject) => {
            const payload = body === undefined ? null : Buffer.from(typeof body === 'string' ? body : JSON.stringify(body));
            const headers = payload === null ? {} : { 'Content-Type': 'application/json', 'Content-Length': payload.length };
            if (token !== null)
                headers['X-Sim-Token'] = token;
            const request = https.request(`${this.settings.CORRIVO_CLOUD_URL}${endpoint}`, {
                method, headers, ca: fs.readFileSync(this.settings.CORRIVO_CA_FILE),
            }, (response) => {
                let text = '';
                response.setEncoding('utf8');
                response.on('data', (chunk) => { text += chunk; });
                response.on('end', () => resolve({ status: response.statusCode, body: text }));
            });
            request.on('error', reject);
            request.end(payload === null ? undefined : payload);
        });
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

const SERIAL_PROGRAM = path.join(__dirname, 'serial_exchange.py');
// The system's python, which has pyserial (python3-serial), not one found first on PATH.
const PYTHON = '/usr/bin/python3';

// Opens the port's link with pyserial as `user` ({uid, gid}) runs it, sends `command`
// every two seconds until `expected` comes back or `timeoutMs` passes; resolves with what
// was read.
function serialExchange(link, command, expected, user, timeoutMs = 30000) {
    return new Promise((resolve, reject) => {
        const child = spawn(PYTHON, [SERIAL_PROGRAM, link, command, expected, String(timeoutMs / 1000)],
                            { uid: user.uid, gid: user.gid, stdio: ['ignore', 'pipe', 'pipe'] });
        let received = '';
        let errors = '';
        child.stdout.on('data', (chunk) => { received += chunk.toString(); });
        child.stderr.on('data', (chunk) => { errors += chunk.toString(); });
        child.on('error', reject);
        child.on('close', (code) => {
            if (code === 0)
                resolve(received);
            else
                reject(new Error(`no "${expected}" from ${link} (exit ${code}): read ${JSON.stringify(received)} ${errors}`));
        });
    });
}

function run(program, args) {
    return execFileSync(program, args, { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] }).trim();
}

// The unprivileged desktop user one test runs the application as, and everything that
// user needs: the guard makes the accounts (a group that the helper serves and a user in
// it) and removes them with this directory, under /tmp so that any build tree works.
//   bin/        the application with its serial tools, copied (root's, 0755)
//   ca.pem      the demo cloud's CA certificate
//   helper/     the helper's socket and its private directory (root's)
//   home/       the user's home, runtime/ its runtime directory (the user's, 0700)
class Desktop {
    constructor(name) {
        this.user = `c2eu${name}`;
        this.group = `c2eg${name}`;
        this.dir = fs.mkdtempSync('/tmp/corrivo-e2e-');
        fs.chmodSync(this.dir, 0o755);
        this.bin = path.join(this.dir, 'bin');
        this.caFile = path.join(this.dir, 'ca.pem');
        this.helperDir = path.join(this.dir, 'helper');
        this.home = path.join(this.dir, 'home');
        this.runtime = path.join(this.dir, 'runtime');
        this.serialDir = path.join(this.runtime, 'corrivo2', 'serial');
        this.uid = null;
        this.gid = null;
    }

    guardEnv() {
        return { CORRIVO_E2E_USER: this.user, CORRIVO_E2E_GROUP: this.group, CORRIVO_E2E_DESKTOP: this.dir };
    }

    get credentials() {
        return { uid: this.uid, gid: this.gid };
    }

    // Once the guard has made the accounts.
    prepare(settings) {
        this.uid = Number(run('id', ['-u', this.user]));
        this.gid = Number(run('id', ['-g', this.user]));
        fs.mkdirSync(this.bin, { mode: 0o755 });
        for (const name of ['corrivo2', 'setupc', 'com2tcp']) {
            fs.copyFileSync(path.join(binDir(), name), path.join(this.bin, name));
            fs.chmodSync(path.join(this.bin, name), 0o755);
        }
        fs.copyFileSync(settings.CORRIVO_CA_FILE, this.caFile);
        fs.chmodSync(this.caFile, 0o644);
        fs.mkdirSync(this.helperDir, { mode: 0o755 });
        for (const dir of [this.home, this.runtime]) {
            fs.mkdirSync(dir, { mode: 0o700 });
            fs.chownSync(dir, this.uid, this.gid);
        }
        // The virtual display's cookie, for the user's own copy.
        if (process.env.XAUTHORITY && fs.existsSync(process.env.XAUTHORITY)) {
            const cookie = path.join(this.home, '.Xauthority');
            fs.copyFileSync(process.env.XAUTHORITY, cookie);
            fs.chownSync(cookie, this.uid, this.gid);
            fs.chmodSync(cookie, 0o600);
        }
    }

    // Hands what root made in the home (a browser stand-in, say) to the user.
    giveHome() {
        const walk = (entry) => {
            fs.lchownSync(entry, this.uid, this.gid);
            if (fs.lstatSync(entry).isDirectory()) {
                for (const name of fs.readdirSync(entry))
                    walk(path.join(entry, name));
            }
        };
        walk(this.home);
    }

    // The environment of the application as this user, with no VPN start forced.
    appEnv() {
        const env = { XDG_RUNTIME_DIR: this.runtime, CORRIVO_HELPER_SOCKET: this.helper().socket,
                      CORRIVO_VPN_LAUNCH: null, CORRIVO_SERIAL_DIR: null, TMPDIR: null };
        if (process.env.XAUTHORITY)
            env.XAUTHORITY = path.join(this.home, '.Xauthority');
        return env;
    }

    helper() {
        if (!this.helperProcess)
            this.helperProcess = new Helper(path.join(this.helperDir, 'helper.sock'), path.join(this.helperDir, 'run'), this.group);
        return this.helperProcess;
    }
}

// corrivo2-helper as root on the test's own socket, serving the test's group. It dies
// with this process (parent-death signal), and its daemons die with it.
class Helper {
    constructor(socket, runtimeDir, group) {
        this.socket = socket;
        this.runtimeDir = runtimeDir;
        this.group = group;
        this.child = null;
        this.output = '';
    }

    async start() {
        const program = path.join(binDir(), 'corrivo2-helper');
        this.child = spawn('setpriv', ['--pdeathsig', 'SIGKILL', '--', program, '--socket', this.socket,
                                       '--runtime-dir', this.runtimeDir, '--group', this.group],
                           { stdio: ['ignore', 'ignore', 'pipe'] });
        const child = this.child;
        child.exited = new Promise((resolve) => child.on('exit', resolve));
        child.stderr.on('data', (chunk) => { this.output += chunk.toString(); });
        const deadline = Date.now() + GUARD_TIMEOUT_MS;
        while (!(fs.existsSync(this.socket) && fs.lstatSync(this.socket).isSocket())) {
            if (child.exitCode !== null || Date.now() > deadline)
                throw new Error(`corrivo2-helper did not start:\n${this.output}`);
            await new Promise((resolve) => setTimeout(resolve, 50));
        }
        return this;
    }

    get pid() {
        return this.child ? this.child.pid : null;
    }

    // The openvpn daemons the helper runs now.
    daemons() {
        return this.pid ? listProcesses().filter((entry) => entry.ppid === this.pid && entry.exe === 'openvpn') : [];
    }

    async kill(signal = 'SIGKILL') {
        if (!this.child)
            return;
        const child = this.child;
        this.child = null;
        if (child.exitCode === null && child.signalCode === null)
            child.kill(signal);
        await child.exited;
    }
}

// Every process now (zombies left out), with its environment for the marker checks.
function listProcesses() {
    const found = [];
    for (const entry of fs.readdirSync('/proc')) {
        if (!/^[0-9]+$/.test(entry))
            continue;
        try {
            const stat = fs.readFileSync(`/proc/${entry}/stat`, 'utf8');
            const state = stat.slice(stat.lastIndexOf(')') + 2, stat.lastIndexOf(')') + 3);
            if (state === 'Z')
                continue;
            const ppid = Number(stat.slice(stat.lastIndexOf(')') + 4).split(' ')[0]);
            let exe = '';
            try {
                exe = fs.readlinkSync(`/proc/${entry}/exe`);
            } catch (error) {
                // a kernel thread has no executable
            }
            found.push({
                pid: Number(entry),
                ppid,
                exe: path.basename(exe),
                get cmdline() {
                    return fs.readFileSync(`/proc/${entry}/cmdline`, 'utf8').split('\0').filter((part) => part !== '');
                },
                get environ() {
                    return fs.readFileSync(`/proc/${entry}/environ`);
                },
            });
        } catch (error) {
            // ended while we looked
        }
    }
    return found;
}

// Processes that carry `marker` in their environment: what the application started
// (serial relays, pair holders, the web engine's helpers).
function processesWithMarker(marker) {
    const needle = Buffer.from(`CORRIVO_E2E_RUN=${marker}\0`);
    return listProcesses().filter((entry) => {
        try {
            return entry.environ.includes(needle);
        } catch (error) {
            return false;
        }
    });
}

// What /proc/PID/status says of the process's users and capabilities.
function credentialsOf(pid) {
    const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
    const field = (name) => (new RegExp(`^${name}:\\s*(.*)$`, 'm').exec(status) || [])[1];
    return {
        uids: field('Uid').split(/\s+/).map(Number),
        capEff: BigInt(`0x${field('CapEff')}`),
        capPrm: BigInt(`0x${field('CapPrm')}`),
    };
}

function namespaceOf(pid, kind) {
    return fs.readlinkSync(`/proc/${pid}/ns/${kind}`);
}

// The web engine's renderers: the web engine processes below a marked process (the
// application) that are parents of no web engine process themselves. They are found by
// descent, not by their own environment: the engine rewrites its process title over the
// memory /proc/PID/environ reads, so a marker there may be gone. (With the sandbox on,
// the zygote is the child of the init process of its PID namespace, another web engine
// process, and a renderer the zygote's child.)
function rendererProcesses(marker) {
    const all = listProcesses();
    const children = new Map();
    for (const entry of all) {
        if (!children.has(entry.ppid))
            children.set(entry.ppid, []);
        children.get(entry.ppid).push(entry);
    }
    const roots = processesWithMarker(marker).filter((entry) => entry.exe !== 'QtWebEngineProcess');
    const engine = [];
    const seen = new Set();
    const walk = (entry) => {
        for (const child of children.get(entry.pid) || []) {
            if (seen.has(child.pid))
                continue;
            seen.add(child.pid);
            if (child.exe === 'QtWebEngineProcess')
                engine.push(child);
            walk(child);
        }
    };
    roots.forEach(walk);
    const pids = new Set(engine.map((entry) => entry.pid));
    const parents = new Set(engine.map((entry) => entry.ppid));
    return engine.filter((entry) => pids.has(entry.ppid) && !parents.has(entry.pid));
}

module.exports = {
    DemoWorld, Desktop, Helper, httpGet, serialExchange, listProcesses, processesWithMarker, rendererProcesses,
    credentialsOf, namespaceOf, readEnvFile,
};
