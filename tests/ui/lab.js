'use strict';

// The VPN lab (tools/lab/lab.sh) for UI tests: a real openvpn server in a network
// namespace of its own, and the files a domain's VPN configuration hands to the client.
// The lab is named after this process ("t<pid>u"), so the lab tests' own clean-up of
// labs whose process died takes this one too.

const { execFile, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const SCRIPT = path.join(__dirname, '..', '..', 'tools', 'lab', 'lab.sh');
const SCRIPT_TIMEOUT_MS = 120000;

const running = new Set();

function runScript(args) {
    return new Promise((resolve, reject) => {
        execFile('bash', [SCRIPT, ...args], { timeout: SCRIPT_TIMEOUT_MS }, (error, stdout, stderr) => {
            if (error)
                reject(new Error(`lab.sh ${args.join(' ')} failed: ${error.message}\n${stdout}${stderr}`));
            else
                resolve(stdout);
        });
    });
}

// An interrupted runner still takes its labs down.
process.on('exit', () => {
    for (const lab of running) {
        try {
            execFileSync('bash', [SCRIPT, '-n', lab.name, 'down'], { stdio: 'ignore', timeout: 30000 });
        } catch (error) {
            // nothing more to do on the way out
        }
    }
});

class Lab {
    // options.keepalive: the server's "PING,RESTART" in seconds (lab.sh -k).
    constructor(options = {}) {
        this.keepalive = options.keepalive || '';
        this.name = `t${process.pid}u`;
        this.dir = path.join(os.tmpdir(), `corrivo-lab-client-${this.name}`);
        this.values = {};
        this.username = '';
        this.password = '';
    }

    // Why the lab cannot run here, or '' when it can.
    static unavailableReason() {
        if (typeof process.getuid === 'function' && process.getuid() !== 0)
            return 'the VPN lab needs root (network namespaces, tun devices)';
        if (!fs.existsSync(SCRIPT))
            return `no lab script at ${SCRIPT}`;
        return '';
    }

    async up() {
        running.add(this);
        await runScript(['-n', this.name, 'down']).catch(() => {});
        await runScript(['-n', this.name, '-o', this.dir, ...(this.keepalive ? ['-k', this.keepalive] : []), 'up']);
        for (const line of fs.readFileSync(path.join(this.dir, 'lab.env'), 'utf8').split('\n')) {
            const equals = line.indexOf('=');
            if (equals > 0)
                this.values[line.slice(0, equals)] = line.slice(equals + 1);
        }
        [this.username, this.password] = fs.readFileSync(path.join(this.dir, 'credentials'), 'utf8').split('\n');
        return this;
    }

    async down() {
        if (!running.has(this))
            return;
        running.delete(this);
        await runScript(['-n', this.name, 'down']);
        fs.rmSync(this.dir, { recursive: true, force: true });
    }

    // Kills only the server, or starts it again: the client's connection drops and returns.
    serverStop() {
        return runScript(['-n', this.name, 'server-stop']);
    }

    serverStart() {
        return runScript(['-n', this.name, 'server-start']);
    }

    value(key) {
        return this.values[key];
    }

    // The files of a domain's VPN configuration in the simulator's fixture form.
    vpnFiles() {
        const read = (name) => fs.readFileSync(path.join(this.dir, name), 'utf8');
        return [
            { name: 'ca.crt', content: read('ca.crt') },
            { name: 'client.ovpn', content: read('client.ovpn') },
            { name: 'credentials.txt', content: `${this.username}\n${this.password}` },
        ];
    }
}

// Runs body(lab) with a lab that is up, and takes it down however the body ends. A
// machine that cannot run the lab skips the test (which counts as a failure).
async function withLab(harness, options, body) {
    const reason = Lab.unavailableReason();
    if (reason)
        throw new harness.Skip(reason);
    const lab = new Lab(options);
    try {
        await lab.up();
        return await body(lab);
    } finally {
        await lab.down();
    }
}

module.exports = { Lab, withLab };
