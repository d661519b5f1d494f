'use strict';

// Starts the cloud simulator (corrivo-simulator) for a UI test and takes it down again.
// It prints "READY https://127.0.0.1:<port> <ca file>" once it listens, and ends when its
// standard input closes. Its control endpoints (/_sim/) take only requests with the token
// it reads as the first line of that input.

const { spawn } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const https = require('node:https');
const path = require('node:path');

const READY_TIMEOUT_MS = 30000;

class Simulator {
    // fixture: the simulator's fixture object; dir: a directory of the test's own
    constructor(fixture, dir) {
        this.binary = process.env.CORRIVO_SIMULATOR
            || path.join(process.env.CORRIVO_BIN_DIR || '', 'corrivo-simulator');
        this.fixture = fixture;
        this.dir = dir;
        this.child = null;
        this.url = null;
        this.caFile = null;
        this.output = '';
        this.token = crypto.randomBytes(24).toString('hex');
    }

    // The simulator is built with the tests: its absence is a broken build.
    static require() {
        const binary = process.env.CORRIVO_SIMULATOR
            || path.join(process.env.CORRIVO_BIN_DIR || '', 'corrivo-simulator');
        if (!fs.existsSync(binary))
            throw new Error(`no cloud simulator at ${binary}: build the target corrivo-simulator`);
    }

    async start() {
        fs.mkdirSync(this.dir, { recursive: true });
        const fixtureFile = path.join(this.dir, 'fixture.json');
        fs.writeFileSync(fixtureFile, JSON.stringify(this.fixture));
        this.child = spawn(this.binary, ['--fixture', fixtureFile, '--ca-dir', path.join(this.dir, 'ca'),
                                         '--exit-on-stdin-eof', '--control-token-fd', '0'],
                           { stdio: ['pipe', 'pipe', 'pipe'] });
        this.child.stdin.write(`${this.token}\n`);
        this.child.stderr.on('data', (chunk) => { this.output += chunk.toString(); });
        await new Promise((resolve, reject) => {
            let line = '';
            const timer = setTimeout(() => reject(new Error(`simulator not ready:\n${this.output}`)), READY_TIMEOUT_MS);
            this.child.on('exit', (code) => {
                clearTimeout(timer);
                reject(new Error(`simulator ended (${code}):\n${this.output}`));
            });
            this.child.stdout.on('data', (chunk) => {
                line += chunk.toString();
                const match = /READY (https:\/\/\S+) (\S+)/.exec(line);
                if (match) {
                    clearTimeout(timer);
                    this.url = match[1];
                    this.caFile = match[2];
                    resolve();
                }
            });
        });
        return this;
    }

    // The environment that points the application at this simulator.
    appEnv() {
        return { CORRIVO_CLOUD_URL: this.url, CORRIVO_CA_FILE: this.caFile };
    }

    control(method, endpoint, body) {
        return new Promise((resolve, reject) => {
            // The simulator takes bodies with a length, not chunked.
            const payload = body === undefined ? null : Buffer.from(JSON.stringify(body));
            const request = https.request(`${this.url}${endpoint}`, {
                method,
                ca: fs.readFileSync(this.caFile),
                headers: Object.assign({ 'X-Sim-Token': this.token }, payload === null ? {}
                    : { 'Content-Type': 'application/json', 'Content-Length': payload.length }),
            }, (response) => {
                let text = '';
                response.setEncoding('utf8');
                response.on('data', (chunk) => { text += chunk; });
                response.on('end', () => {
                    if (response.statusCode >= 400)
                        reject(new Error(`simulator ${method} ${endpoint}: ${response.statusCode} ${text}`));
                    else
                        resolve(text === '' ? null : JSON.parse(text));
                });
            });
            request.on('error', reject);
            request.end(payload === null ? undefined : payload);
        });
    }

    // What the recorded requests show instead of a secret value (a credential header's,
    // a secret query parameter's, as sent).
    masked(value) {
        return `masked:${crypto.createHmac('sha256', this.token).update(value).digest('hex')}`;
    }

    // The requests the simulator has seen, oldest first.
    async requests() {
        return this.control('GET', '/_sim/requests');
    }

    async stop() {
        if (!this.child)
            return;
        const child = this.child;
        this.child = null;
        if (child.exitCode !== null || child.signalCode !== null)
            return;
        const ended = new Promise((resolve) => child.on('exit', resolve));
        child.stdin.end();
        const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
        await ended;
        clearTimeout(timer);
    }
}

module.exports = { Simulator };
