'use strict';

// Start-up benchmark: from process start until a usable sign-in form is on screen, the
// application against a bare web view application showing a page from its resources
// (bench/startup/barewebview.cpp), both under the same X server, in alternating rounds.
// Each program writes one console line once its form is drawn (the "js" logging
// category on); the time is from spawn to that line on standard error. The
// application's login page holds its splash screen for a fixed time (SPLASH_DELAY in
// loginPage.js, read from the source); the report gives the ratio with and without it.
// Every round starts the application with an empty home (no settings, nothing cached)
// and runs it as the user who runs the benchmark.
//
//   xvfb-run -a -s "-screen 0 1600x1200x24" node bench/startup/startup.js [--rounds N]
//
// Environment: CORRIVO_APP (the application), CORRIVO_BARE_WEBVIEW (the baseline); the
// build target bench_startup sets both. Not part of CTest: the figures depend on the
// machine.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { spawn } = require('node:child_process');

const TIMEOUT_MS = 60000;

function option(name, fallback) {
    const args = process.argv.slice(2).concat((process.env.CORRIVO_STARTUP_ARGS || '').split(/\s+/).filter(Boolean));
    const index = args.indexOf(name);
    return index >= 0 && index + 1 < args.length ? args[index + 1] : fallback;
}

function splashHoldMs() {
    const source = fs.readFileSync(path.join(__dirname, '../../src/ui/pages/login/loginPage.js'), 'utf8');
    const match = /var SPLASH_DELAY = (\d+);/.exec(source);
    if (!match)
        throw new Error('no SPLASH_DELAY in loginPage.js');
    return Number(match[1]);
}

// Starts `binary` in a fresh home and resolves with the milliseconds until `mark`
// appears on its standard error; the program and its helpers are then ended.
function timeUntilMark(binary, mark) {
    const home = fs.mkdtempSync(path.join(os.tmpdir(), 'corrivo-startup-'));
    const env = Object.assign({}, process.env, {
        HOME: home,
        XDG_CONFIG_HOME: path.join(home, '.config'),
        XDG_DATA_HOME: path.join(home, '.local', 'share'),
        XDG_CACHE_HOME: path.join(home, '.cache'),
        XDG_RUNTIME_DIR: home,
        QT_LOGGING_RULES: 'js.info=true',
        // No session bus unless the caller gives one: without it, D-Bus would start one per
        // run (autolaunch) that outlives the benchmark.
        DBUS_SESSION_BUS_ADDRESS: process.env.DBUS_SESSION_BUS_ADDRESS || 'disabled:',
    });
    return new Promise((resolve, reject) => {
        const started = process.hrtime.bigint();
        const child = spawn(binary, [], { env, detached: true, stdio: ['ignore', 'ignore', 'pipe'] });
        let output = '';
        let done = false;
        const finish = (error, ms) => {
            if (done)
                return;
            done = true;
            clearTimeout(timer);
            try {
                process.kill(-child.pid, 'SIGKILL');
            } catch (killError) {
                // gone already
            }
            child.once('exit', () => {
                fs.rmSync(home, { recursive: true, force: true });
                if (error)
                    reject(error);
                else
                    resolve(ms);
            });
            if (child.exitCode !== null || child.signalCode !== null)
                child.emit('exit');
        };
        const timer = setTimeout(() => finish(new Error(`${path.basename(binary)}: no "${mark}" within ${TIMEOUT_MS} ms\n${output}`)),
                                 TIMEOUT_MS);
        child.stderr.on('data', (chunk) => {
            output += chunk.toString();
            if (output.includes(mark))
                finish(null, Number(process.hrtime.bigint() - started) / 1e6);
        });
        child.on('exit', (code, signal) => {
            if (!done)
                finish(new Error(`${path.basename(binary)} ended (${code ?? signal}) before "${mark}"\n${output}`));
        });
    });
}

function median(values) {
    const sorted = [...values].sort((a, b) => a - b);
    const middle = Math.floor(sorted.length / 2);
    return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

async function main() {
    const app = process.env.CORRIVO_APP;
    const bare = process.env.CORRIVO_BARE_WEBVIEW;
    if (!app || !bare)
        throw new Error('CORRIVO_APP and CORRIVO_BARE_WEBVIEW name the two programs');
    const rounds = Number(option('--rounds', '7'));
    const hold = splashHoldMs();

    // One start of each first, not counted: the first start of a program after a build
    // reads its files from the disk.
    await timeUntilMark(bare, 'bare: page shown');
    await timeUntilMark(app, 'corrivo: login form shown');

    const bareMs = [];
    const appMs = [];
    for (let round = 0; round < rounds; round++) {
        // Alternating order, so that neither always follows the other.
        const order = round % 2 ? ['app', 'bare'] : ['bare', 'app'];
        for (const which of order) {
            if (which === 'bare')
                bareMs.push(await timeUntilMark(bare, 'bare: page shown'));
            else
                appMs.push(await timeUntilMark(app, 'corrivo: login form shown'));
        }
        console.log(`round ${round + 1}: bare web view ${bareMs.at(-1).toFixed(0)} ms, application ${appMs.at(-1).toFixed(0)} ms`);
    }
    const bareMedian = median(bareMs);
    const appMedian = median(appMs);
    // Paired by round: the ratio of each round, then their median.
    const ratios = appMs.map((ms, i) => (ms - hold) / bareMs[i]);
    console.log(`\nmedians of ${rounds} rounds (process start -> form on screen)`);
    console.log(`  bare web view (baseline)            ${bareMedian.toFixed(0)} ms   1.00x`);
    console.log(`  application                         ${appMedian.toFixed(0)} ms   ${(appMedian / bareMedian).toFixed(2)}x`);
    console.log(`  application less the splash hold    ${(appMedian - hold).toFixed(0)} ms   ${((appMedian - hold) / bareMedian).toFixed(2)}x` +
                `   (hold ${hold} ms; round by round ${median(ratios).toFixed(2)}x)`);
}

main().catch((error) => {
    console.error(error.stack || String(error));
    process.exit(1);
});
