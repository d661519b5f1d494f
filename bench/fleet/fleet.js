'use strict';

// Fleet benchmark: the real application signed in against the cloud simulator with
// 50, 500 and 5000 devices (domains of 25), driven over the web engine's remote
// debugging like the UI tests. For each size it reports the sign-in until the list is
// painted, a reload that changes nothing, a device's name typed into the search until
// its one row is painted, a reload that flips 1% of the devices online or offline, the
// renderer's CPU over an idle stretch and the resident memory of all
// the application's processes; then how each figure grows from size to size.
//
//   xvfb-run -a node bench/fleet/fleet.js [--runs N] [--sizes 50,500,5000] [--idle-s 30]
//                                          [--reloads N] [--profile DIR]
//
// --profile DIR records the page's CPU profile (DevTools protocol) of the sign-in and
// of the reloads into DIR as .cpuprofile files (for the browser's DevTools) and prints
// the functions that took the most time.
//
// Environment: CORRIVO_APP (the application), CORRIVO_BIN_DIR (for corrivo-simulator),
// as for the UI tests; the build target bench_fleet sets them. Not part of CTest: the
// figures depend on the machine.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const harness = require('../../tests/ui/harness');
const { Simulator } = require('../../tests/ui/simulator');
const { dismissTour } = require('../../tests/ui/session');
const { fixture, flipOnePercent, USER, PASSWORD } = require('../../tests/ui/fleet');

const LOGIN_TIMEOUT_MS = 180000;
const RELOAD_TIMEOUT_MS = 600000;

function options() {
    // Options from the command line, or from CORRIVO_FLEET_ARGS when run as a build target.
    const args = process.argv.slice(2).concat((process.env.CORRIVO_FLEET_ARGS || '').split(/\s+/).filter(Boolean));
    const value = (name, fallback) => {
        const index = args.indexOf(name);
        return index >= 0 && index + 1 < args.length ? args[index + 1] : fallback;
    };
    return {
        runs: Number(value('--runs', '1')),
        sizes: value('--sizes', '50,500,5000').split(',').map(Number),
        idleSeconds: Number(value('--idle-s', '30')),
        reloads: Number(value('--reloads', '3')),
        profileDir: value('--profile', null),
    };
}

// The application's processes: the main one and every descendant (the web engine's).
function processTree(rootPid) {
    const parents = new Map();
    for (const entry of fs.readdirSync('/proc')) {
        if (!/^\d+$/.test(entry))
            continue;
        try {
            const stat = fs.readFileSync(`/proc/${entry}/stat`, 'utf8');
            const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
            parents.set(Number(entry), Number(fields[1]));
        } catch (error) {
            // gone meanwhile
        }
    }
    const tree = [rootPid];
    for (let i = 0; i < tree.length; i++) {
        for (const [pid, parent] of parents) {
            if (parent === tree[i])
                tree.push(pid);
        }
    }
    return tree.filter((pid) => fs.existsSync(`/proc/${pid}`));
}

function parentPid(pid) {
    try {
        const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
        return Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
    } catch (error) {
        return -1;
    }
}

function cmdline(pid) {
    try {
        return fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').split('\0').join(' ');
    } catch (error) {
        return '';
    }
}

// CPU time of a process so far, in seconds.
function cpuSeconds(pid) {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
    // utime and stime are fields 14 and 15 of stat, in clock ticks (100 per second here).
    return (Number(fields[11]) + Number(fields[12])) / 100;
}

function memory(pids) {
    let rss = 0;
    let pss = 0;
    for (const pid of pids) {
        try {
            const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
            rss += Number(/VmRSS:\s+(\d+)/.exec(status)?.[1] || 0);
            const rollup = fs.readFileSync(`/proc/${pid}/smaps_rollup`, 'utf8');
            pss += Number(/Pss:\s+(\d+)/.exec(rollup)?.[1] || 0);
        } catch (error) {
            // gone meanwhile, or not readable
        }
    }
    return { rssMB: rss / 1024, pssMB: pss / 1024 };
}

// Renderers are forked from the web engine's zygote and keep its command line: they
// are the engine's processes whose parent is one of the engine's processes too.
// The page's CPU profile around `body`, written to DIR/<name>.cpuprofile when asked
// for, with the heaviest functions by their own time printed.
async function profiled(app, settings, name, body) {
    if (!settings.profileDir)
        return body();
    const session = await app.page.createCDPSession();
    await session.send('Profiler.enable');
    await session.send('Profiler.setSamplingInterval', { interval: 250 });
    await session.send('Profiler.start');
    let result;
    try {
        result = await body();
    } finally {
        const { profile } = await session.send('Profiler.stop');
        await session.detach();
        fs.mkdirSync(settings.profileDir, { recursive: true });
        fs.writeFileSync(path.join(settings.profileDir, `${name}.cpuprofile`), JSON.stringify(profile));
        printProfile(name, profile);
    }
    return result;
}

function printProfile(name, profile) {
    const byNode = new Map(profile.nodes.map((node) => [node.id, node]));
    const self = new Map();
    profile.samples.forEach((id, index) => {
        const frame = byNode.get(id).callFrame;
        const key = `${frame.functionName || '(anonymous)'} ${path.basename(frame.url || '')}:${frame.lineNumber + 1}`;
        self.set(key, (self.get(key) || 0) + (profile.timeDeltas[index] || 0) / 1000);
    });
    const top = [...self].filter(([key]) => !key.startsWith('(idle)')).sort((a, b) => b[1] - a[1]).slice(0, 15);
    console.log(`profile ${name}: own time per function (ms)`);
    for (const [key, ms] of top)
        console.log(`  ${ms.toFixed(1).padStart(9)}  ${key}`);
}

function renderers(rootPid) {
    const engine = new Set(processTree(rootPid).filter((pid) => cmdline(pid).includes('QtWebEngineProcess')));
    return [...engine].filter((pid) => engine.has(parentPid(pid)));
}

// Sign-in from the click until every group header is there, one group is open and the
// frame after that has been painted.
async function measureLogin(app, domainCount) {
    await app.waitLoginForm();
    await app.page.type('#loginContainer input[name="username"]', USER);
    await app.page.type('#loginContainer input[name="password"]', PASSWORD);
    await app.page.evaluate((want) => {
        window.__fleet = null;
        const started = performance.now();
        // When the domain list was loaded (the native part and the cloud), when the
        // page had it and began drawing, and when drawing was done.
        const parts = { loaded: null, drawing: null, drawn: null };
        const onLoaded = () => { parts.loaded = performance.now() - started; };
        HLV_EVENTS.addListener(EVENT_LOAD_DOMAINS_SUCCESS, onLoaded);
        const showPage = domains.showPage;
        domains.showPage = function () {
            domains.showPage = showPage;
            HLV_EVENTS.removeListener(EVENT_LOAD_DOMAINS_SUCCESS, onLoaded);
            parts.drawing = performance.now() - started;
            const value = showPage.apply(this, arguments);
            parts.drawn = performance.now() - started;
            return value;
        };
        function painted() {
            return document.querySelectorAll('#domainsContainer .domain').length === want &&
                document.querySelector('#domainsContainer .device-container:not(.closed)') !== null;
        }
        function check() {
            if (!painted()) {
                requestAnimationFrame(check);
                return;
            }
            requestAnimationFrame(() => setTimeout(() => {
                window.__fleet = Object.assign({ total: performance.now() - started }, parts);
            }, 0));
        }
        document.querySelector('#loginContainer .login').click();
        requestAnimationFrame(check);
    }, domainCount);
    return result(app, LOGIN_TIMEOUT_MS);
}

// What the page put in window.__fleet once it is there. The page's own thread may be
// busy for minutes with a large list, longer than one protocol call may wait, so the
// measurement runs in the page and is only collected from here.
async function result(app, timeout) {
    let value = null;
    await harness.waitUntil(async () => {
        value = await app.page.evaluate(() => window.__fleet);
        return value !== null;
    }, 'the measurement in the page', timeout);
    return value;
}

// One reload from the call until the page's handler has run and the next frame is
// painted; also when the reload event arrived (the native part, the simulator's
// answer included) and when the handler was done (after the page fetched the list).
async function measureReload(app) {
    await app.page.evaluate(() => {
        window.__fleet = null;
        const original = domains.on_domains_reloaded;
        const started = performance.now();
        let event = null;
        const onEvent = () => { event = performance.now() - started; };
        HLV_EVENTS.addListener(EVENT_RELOAD_DOMAINS_SUCCESS, onEvent);
        // The periodic reload must not run into the timed one; the reply starts it again.
        HLV.stopReloadDomainsTimer();
        domains.on_domains_reloaded = function () {
            const handlerStart = performance.now();
            const value = original.apply(this, arguments);
            const handler = performance.now() - handlerStart;
            const done = performance.now() - started;
            domains.on_domains_reloaded = original;
            HLV_EVENTS.removeListener(EVENT_RELOAD_DOMAINS_SUCCESS, onEvent);
            requestAnimationFrame(() => setTimeout(() => {
                window.__fleet = { total: performance.now() - started, event, handler, done };
            }, 0));
            return value;
        };
        HLV.reloadDomains();
    });
    return result(app, RELOAD_TIMEOUT_MS);
}

// Rows are drawn only in view: a drawn row tells by its mark, any other by the state
// the page would draw it with.
async function rowsOnline(app, ids) {
    return app.page.evaluate((list) => list.map((id) => {
        const row = document.querySelector(`#domainsContainer .device[data-id="${id}"]`);
        return row !== null ? !row.classList.contains('offline') : deviceList.isOnline(id);
    }), ids);
}

// A device's unique name typed into the search, from the last key to the frame painted
// after the page has filtered the list down to that one row.
async function measureSearch(app, name) {
    await app.page.evaluate(() => {
        const input = document.querySelector('#deviceFinder .device-search');
        input.value = '';
        input.dispatchEvent(new Event('input'));
        input.focus();
        window.__fleet = null;
        window.__lastKey = null;
        if (window.__searchTimed)
            return;
        window.__searchTimed = true;
        input.addEventListener('keydown', () => { window.__lastKey = performance.now(); }, true);
        input.addEventListener('input', () => {
            const key = window.__lastKey;
            requestAnimationFrame(() => setTimeout(() => {
                if (key === window.__lastKey && document.querySelectorAll('#domainsContainer .row.device[data-id]').length === 1)
                    window.__fleet = { total: performance.now() - key };
            }, 0));
        });
    });
    await app.page.type('#deviceFinder .device-search', name);
    return result(app, RELOAD_TIMEOUT_MS);
}

async function measureSize(size, runDir, settings) {
    const world = fixture(size);
    const home = path.join(runDir, `home-${size}`);
    fs.rmSync(home, { recursive: true, force: true });
    fs.mkdirSync(home, { recursive: true });
    const simulator = new Simulator(world, path.join(home, 'simulator'));
    // The old page held its thread for minutes at a time with thousands of devices.
    const app = new harness.App({ home, env: {}, protocolTimeout: 900000 });
    const result = { size };
    try {
        await simulator.start();
        app.env = Object.assign(simulator.appEnv(), { CORRIVO_SERIAL_DIR: path.join(home, 'serial') });
        await app.start();

        result.loginParts = await profiled(app, settings, `login-${size}`,
                                           () => measureLogin(app, world.domains.length));
        result.loginMs = result.loginParts.total;
        await dismissTour(app, 5000);
        // Let the second load of the sign-in settle before the reloads are timed.
        await harness.sleep(1500);

        // The page fetches every domain on the first reload after drawing its list, and
        // then only those that changed since its last answer.
        result.firstReloadMs = (await profiled(app, settings, `first-reload-${size}`, () => measureReload(app))).total;

        result.reloadMs = [];
        result.reloadParts = [];
        for (let i = 0; i < settings.reloads; i++) {
            const reload = await profiled(app, settings, `reload-${size}-${i}`, () => measureReload(app));
            result.reloadMs.push(reload.total);
            result.reloadParts.push(reload);
        }

        result.searchMs = [];
        for (let i = 0; i < settings.reloads; i++) {
            const devices = world.domains[Math.floor((i + 1) * world.domains.length / (settings.reloads + 1))].devices;
            result.searchMs.push((await measureSearch(app, devices[devices.length - 1].name)).total);
        }
        await app.page.evaluate(() => {
            const input = document.querySelector('#deviceFinder .device-search');
            input.value = '';
            input.dispatchEvent(new Event('input'));
        });

        result.flipMs = [];
        result.flipParts = [];
        for (let i = 0; i < settings.reloads; i++) {
            const flipped = flipOnePercent(world, i);
            await simulator.control('POST', '/_sim/fixture', world);
            const reload = await profiled(app, settings, `flip-${size}-${i}`, () => measureReload(app));
            const shown = await rowsOnline(app, flipped.map((f) => f.id));
            const wrong = flipped.filter((f, index) => shown[index] !== f.online);
            if (wrong.length > 0)
                throw new Error(`${wrong.length} flipped rows show the old state`);
            result.flipMs.push(reload.total);
            result.flipParts.push(reload);
        }

        // Idle: nobody touches the page; the periodic reload may run meanwhile.
        await harness.sleep(1000);
        const renderer = renderers(app.child.pid);
        if (renderer.length === 0)
            throw new Error('no renderer process found among the application\'s');
        const before = renderer.map(cpuSeconds);
        const mainBefore = cpuSeconds(app.child.pid);
        const idleStart = Date.now();
        await harness.sleep(settings.idleSeconds * 1000);
        const seconds = (Date.now() - idleStart) / 1000;
        result.rendererIdlePercent = renderer.map((pid, i) => cpuSeconds(pid) - before[i])
            .reduce((a, b) => a + b, 0) / seconds * 100;
        result.mainIdlePercent = (cpuSeconds(app.child.pid) - mainBefore) / seconds * 100;
        result.memory = memory(processTree(app.child.pid));
        result.processes = processTree(app.child.pid).length;
    } catch (error) {
        error.message += `\n--- application output ---\n${app.output.slice(-3000)}` +
                         `\n--- simulator ---\n${simulator.output.slice(-1000)}`;
        throw error;
    } finally {
        await app.stop();
        await simulator.stop();
        fs.rmSync(home, { recursive: true, force: true });
    }
    return result;
}

const median = (values) => {
    const sorted = [...values].sort((a, b) => a - b);
    return sorted[Math.floor(sorted.length / 2)];
};
const range = (values, digits = 0) => {
    const min = Math.min(...values).toFixed(digits);
    const max = Math.max(...values).toFixed(digits);
    return min === max ? min : `${min}-${max}`;
};

function report(sizes, runs) {
    const bySize = new Map(sizes.map((size) => [size, runs.flat().filter((r) => r.size === size)]));
    const rows = [
        ['login click -> list painted (ms)', (r) => [r.loginMs], 0],
        ['first reload after drawing (ms)', (r) => [r.firstReloadMs], 0],
        ['reload, no change (ms)', (r) => r.reloadMs, 0],
        ['reload, 1% flipped (ms)', (r) => r.flipMs, 0],
        ['search, last key -> one row painted (ms; goal 150)', (r) => r.searchMs, 0],
        ['renderer CPU idle (% of a core)', (r) => [r.rendererIdlePercent], 2],
        ['main process CPU idle (%)', (r) => [r.mainIdlePercent], 2],
        ['RSS all processes (MB)', (r) => [r.memory.rssMB], 0],
        ['PSS all processes (MB)', (r) => [r.memory.pssMB], 0],
    ];
    const header = ['', ...sizes.map((s) => `${s} devices`)];
    const table = [header];
    const medians = [];
    for (const [name, pick, digits] of rows) {
        const cells = [name];
        const row = [];
        for (const size of sizes) {
            const values = bySize.get(size).flatMap(pick);
            cells.push(`${range(values, digits)} (med ${median(values).toFixed(digits)})`);
            row.push(median(values));
        }
        table.push(cells);
        medians.push([name, row]);
    }
    const widths = header.map((_, c) => Math.max(...table.map((r) => r[c].length)));
    for (const r of table)
        console.log(r.map((cell, c) => cell.padEnd(widths[c])).join(' | '));

    console.log('\nGrowth of the medians (exponent k in time ~ n^k; 1 is linear, 2 quadratic):');
    for (const [name, row] of medians) {
        if (name.includes('RSS') || name.includes('PSS')) {
            console.log(`  ${name}: ${sizes.slice(1).map((s, i) => `${sizes[i]}->${s}: ${(row[i + 1] - row[i]).toFixed(0)} MB more`).join(', ')}`);
            continue;
        }
        if (name.includes('CPU'))
            continue;
        const parts = sizes.slice(1).map((s, i) => {
            const ratio = row[i + 1] / row[i];
            const exponent = Math.log(ratio) / Math.log(s / sizes[i]);
            return `${sizes[i]}->${s}: x${ratio.toFixed(2)}, k=${exponent.toFixed(2)}`;
        });
        console.log(`  ${name}: ${parts.join('; ')}`);
    }
}

async function main() {
    const settings = options();
    if (!process.env.CORRIVO_APP)
        throw new Error('CORRIVO_APP names no application binary');
    const runDir = fs.mkdtempSync(path.join(os.tmpdir(), 'corrivo-fleet-'));
    const runs = [];
    try {
        for (let run = 0; run < settings.runs; run++) {
            const results = [];
            for (const size of settings.sizes) {
                const result = await measureSize(size, runDir, settings);
                const at = (value) => (value === null ? '-' : value.toFixed(0));
                console.log(`run ${run + 1}, ${size} devices: login ${result.loginMs.toFixed(0)} ms ` +
                            `(loaded at ${at(result.loginParts.loaded)}, drawing ${at(result.loginParts.drawing)}-` +
                            `${at(result.loginParts.drawn)}), ` +
                            `reload ${result.reloadMs.map((v) => v.toFixed(0)).join('/')} ms ` +
                            `(event at ${result.reloadParts.map((p) => p.event === null ? '-' : p.event.toFixed(0)).join('/')}, ` +
                            `handler ${result.reloadParts.map((p) => p.handler.toFixed(0)).join('/')}, ` +
                            `handled at ${result.reloadParts.map((p) => p.done.toFixed(0)).join('/')}), ` +
                            `first reload ${result.firstReloadMs.toFixed(0)} ms, ` +
                            `search ${result.searchMs.map((v) => v.toFixed(0)).join('/')} ms, ` +
                            `flip ${result.flipMs.map((v) => v.toFixed(0)).join('/')} ms ` +
                            `(event at ${result.flipParts.map((p) => p.event === null ? '-' : p.event.toFixed(0)).join('/')}, ` +
                            `handler ${result.flipParts.map((p) => p.handler.toFixed(0)).join('/')}), ` +
                            `renderer idle ${result.rendererIdlePercent.toFixed(2)}%, ` +
                            `RSS ${result.memory.rssMB.toFixed(0)} MB in ${result.processes} processes`);
                results.push(result);
            }
            runs.push(results);
        }
    } finally {
        fs.rmSync(runDir, { recursive: true, force: true });
    }
    console.log('');
    report(settings.sizes, runs);
}

main().catch((error) => {
    console.error(error);
    process.exit(1);
});
