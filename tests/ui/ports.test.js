'use strict';

// The virtual serial port view of a device: listing, the create form with only the free
// interfaces, creating and deleting behind the overlay, and tours 2 to 4. Ports are made
// by the application's own tools (real pseudo-terminal pairs in the test's directory).

const fs = require('node:fs');
const path = require('node:path');
const { pairs } = require('./serial');
const { withSignedIn, dismissTour, bridgeCall, openPortView } = require('./session');

const MARKUP_DEVICE = 'Pump <i>2</i><img src="y" onerror="window.__ran = true">';

const FIXTURE = {
    users: [{ username: 'alice', password: 'secret' }],
    domains: [{
        id: 1, name: 'Plant North', vpn_enable: 1,
        devices: [
            { id: 11, name: 'Gateway 01', type: 1, vpn_status: 1, vpn_ip: '10.203.77.11', api_key: 'k11' },
            { id: 12, name: MARKUP_DEVICE, type: 5, vpn_status: 1, vpn_ip: '10.203.77.12', api_key: 'k12' },
            { id: 13, name: 'Logger 13', type: 1, vpn_status: 0, vpn_ip: '10.203.77.13', api_key: 'k13' },
        ],
    }],
};

const BUSY_WAIT_MS = 30000;

async function goBack(app) {
    await app.page.click('#serialVirtualPortPage .icon-back');
    await app.page.waitForFunction(() => !document.querySelector('.page').classList.contains('slided'), { timeout: 5000 });
    // The list slides back; a click lands where its rows end up.
    await app.settle('.page');
}

// The view as the user sees it.
function portView(app) {
    return app.page.evaluate(() => {
        const page = document.querySelector('#serialVirtualPortPage');
        const header = page.querySelector(':scope > .device');
        const shown = (element) => element !== null && !element.classList.contains('hn') &&
                                   getComputedStyle(element).display !== 'none';
        return {
            deviceId: header.getAttribute('data-id'),
            name: header.querySelector('.name').textContent,
            ports: Array.from(page.querySelectorAll('.virtual-serial-port[data-type]')).map((row) => ({
                type: row.getAttribute('data-type'),
                text: row.querySelector('.interface').textContent.trim(),
                serialName: row.querySelector('.serial-name').textContent.trim(),
                path: row.querySelector('.serial-path') ? row.querySelector('.serial-path').textContent.replace(/\u200e/g, '').trim() : null,
            })),
            empty: page.querySelectorAll('.virtual-serial-port.empty-list').length,
            createRow: shown(page.querySelector('.virtual-serial-port.create-new')),
            formOpen: !page.querySelector('.form-container').classList.contains('closed'),
            options: Array.from(page.querySelectorAll('select[name="type"] option'))
                .map((option) => (option.disabled ? '-' : '') + option.value),
            selected: page.querySelector('select[name="type"]').value,
        };
    });
}

// Clicks an element of the view and waits until the overlay it raises is gone again.
async function clickBusy(app, selector) {
    await app.page.click(selector);
    await app.waitVisible('#serialVirtualPortPage .form-overlay', 5000);
    await app.waitHidden('#serialVirtualPortPage .form-overlay', BUSY_WAIT_MS);
}

async function openForm(app) {
    await app.page.click('#serialVirtualPortPage .icon-create-new');
    await app.page.waitForFunction(() => !document.querySelector('#serialVirtualPortPage .form-container')
        .classList.contains('closed'), { timeout: 5000 });
}

module.exports = {
    async 'Ctrl-C or SIGTERM ends the application as closing its window does: the ports go'({ harness, assert }) {
        for (const signal of ['SIGINT', 'SIGTERM']) {
            await withSignedIn(harness, `signal-${signal}`, FIXTURE, {}, async ({ app, serialDir }) => {
                assert.strictEqual(await bridgeCall(app, 'create', 0, 11), true);
                assert.strictEqual(await bridgeCall(app, 'create', 3, 11), true);
                assert.strictEqual(pairs(serialDir).length, 2);
                // The main process only, as a terminal's Ctrl-C or a service manager would.
                process.kill(app.child.pid, signal);
                const ended = await Promise.race([app.exitedPromise, harness.sleep(15000).then(() => null)]);
                assert.deepStrictEqual(ended, { code: 0, signal: null });
                assert.deepStrictEqual(pairs(serialDir), []);
            });
        }
    },


    async 'the form offers only free interfaces; with all four taken there is no add row'({ harness, assert }) {
        await withSignedIn(harness, 'offer', FIXTURE, {}, async ({ app }) => {
            for (const type of [0, 1, 2, 3])
                assert.strictEqual(await bridgeCall(app, 'create', type, 11), true);
            assert.strictEqual(await bridgeCall(app, 'create', 2, 12), true);

            await openPortView(app, 11);
            const full = await portView(app);
            assert.deepStrictEqual(full.ports.map((p) => p.text), ['RS 232 A', 'RS 232 B', 'RS 485', 'USB']);
            assert.deepStrictEqual([full.createRow, full.formOpen, full.empty], [false, false, 0]);
            assert.deepStrictEqual(full.options, ['-0', '-1', '-2', '-3']);

            await goBack(app);
            await openPortView(app, 12);
            const one = await portView(app);
            // The device's name comes from the cloud: text, never markup.
            assert.strictEqual(one.name, MARKUP_DEVICE);
            assert.strictEqual(await app.page.evaluate(() => window.__ran === true), false);
            assert.deepStrictEqual(one.ports.map((p) => p.type), ['2']);
            assert.deepStrictEqual([one.createRow, one.formOpen], [true, false]);
            await openForm(app);
            assert.ok((await dismissTour(app)).startsWith('Select the virtual port of device'), 'tour 3 on the first form');
            const form = await portView(app);
            assert.deepStrictEqual(form.options, ['0', '1', '-2', '3']);
            assert.strictEqual(form.selected, '0');

            // Cancel closes the form; the add icon opens it again without the tour.
            await app.page.click('#serialVirtualPortPage .button-cancel');
            assert.strictEqual((await portView(app)).formOpen, false);
            await openForm(app);
            assert.strictEqual(await dismissTour(app, 700), null);
        });
    },

    async 'create and delete through the view: name and path listed, tours 4 and 2 once each'({ harness, assert }) {
        await withSignedIn(harness, 'create', FIXTURE, {}, async ({ app, serialDir }) => {
            // One port before the view opens, so that the first empty list is the one a
            // deletion leaves.
            assert.strictEqual(await bridgeCall(app, 'create', 0, 11), true);
            await openPortView(app, 11);
            assert.strictEqual(await dismissTour(app, 700), null, 'no tour over a list with a port');
            await openForm(app);
            // A tour's target stays where it is: no copy of it (and of its rows and
            // selector) is left in the view while the step shows.
            const notCopied = async (types) => {
                assert.deepStrictEqual((await portView(app)).ports.map((p) => p.type), types);
                assert.strictEqual(await app.page.$$eval('#serialVirtualPortPage select[name="type"]', (s) => s.length), 1);
            };
            assert.ok(await dismissTour(app, 3000, () => notCopied(['0'])), 'tour 3');
            assert.strictEqual((await portView(app)).selected, '1');

            await clickBusy(app, '#serialVirtualPortPage .button-create');
            const created = await portView(app);
            assert.deepStrictEqual(created.ports.map((p) => p.type), ['0', '1']);
            assert.strictEqual(created.formOpen, true, 'the form stays open while a type is free');
            assert.strictEqual(created.selected, '2');
            const port = created.ports[1];
            assert.strictEqual(port.text, 'RS 232 B');
            assert.match(port.serialName, /\S/);
            assert.strictEqual(port.path, path.join(serialDir, port.serialName));
            assert.ok(fs.existsSync(port.path), `${port.path} is there for serial programs`);
            const tour4 = await dismissTour(app, 3000, () => notCopied(['0', '1']));
            assert.ok(tour4 && tour4.startsWith('The virtual port has been successfully created'), `tour 4: ${tour4}`);
            assert.strictEqual(pairs(serialDir).length, 2);

            await clickBusy(app, '#serialVirtualPortPage .button-create');
            assert.deepStrictEqual((await portView(app)).ports.map((p) => p.type), ['0', '1', '2']);
            assert.strictEqual(await dismissTour(app, 700), null, 'tour 4 only once');
            if (process.env.CORRIVO_SCREENSHOT_DIR)
                await app.screenshot(path.join(process.env.CORRIVO_SCREENSHOT_DIR, 'ports.png'));

            await app.page.click('#serialVirtualPortPage .button-cancel');
            for (const type of ['2', '1'])
                await clickBusy(app, `#serialVirtualPortPage .virtual-serial-port[data-type="${type}"] .remove`);
            assert.strictEqual(await dismissTour(app, 700), null);
            assert.deepStrictEqual((await portView(app)).ports.map((p) => p.type), ['0']);
            await clickBusy(app, '#serialVirtualPortPage .virtual-serial-port[data-type="0"] .remove');
            const emptied = await portView(app);
            assert.deepStrictEqual([emptied.ports.length, emptied.empty, emptied.createRow], [0, 1, true]);
            assert.strictEqual(await app.text('#serialVirtualPortPage .empty-list'), 'Add a new virtual serial port');
            const tour2 = await dismissTour(app, 3000, () => notCopied([]));
            assert.ok(tour2 && tour2.startsWith('In this area are displayed all virtual ports'), `tour 2: ${tour2}`);
            assert.deepStrictEqual(pairs(serialDir), []);
            assert.ok(!fs.existsSync(port.path));

            // Another device: its own (empty) list, the form closed, no tour again.
            await openForm(app);
            await goBack(app);
            await openPortView(app, 13);
            const other = await portView(app);
            assert.deepStrictEqual([other.deviceId, other.name, other.ports.length, other.empty, other.formOpen],
                                   ['13', 'Logger 13', 0, 1, false]);
            assert.strictEqual(await dismissTour(app, 700), null, 'tour 2 only once');

            // The language switch reaches the view's texts; names stay as they are.
            await app.page.click('.navbar .language');
            await app.waitText('#serialVirtualPortPage .icon-back', 'chevron_leftIndietro', 5000);
            assert.strictEqual(await app.text('#serialVirtualPortPage .empty-list'), 'Aggiungi una nuova porta seriale virtuale');
            assert.strictEqual(await app.text('#serialVirtualPortPage > .device .name'), 'Logger 13');
            assert.strictEqual(await app.text('#serialVirtualPortPage .form-title'), 'Crea una nuova porta seriale virtuale');
        });
    },

    async 'each port shows its counters and relay state; the monitor and the trace switch on and off'({ harness, assert }) {
        await withSignedIn(harness, 'monitor', FIXTURE, {}, async ({ app }) => {
            assert.strictEqual(await bridgeCall(app, 'create', 0, 11), true);
            await openPortView(app, 11);
            await dismissTour(app, 700);
            const details = '#serialVirtualPortPage .port-details[data-type="0"]';
            const view = '#serialVirtualPortPage .port-monitor[data-type="0"]';
            // No tunnel here: the port is there, its relay is not.
            await app.waitText(`${details} .relay-state`, 'Not connected', 5000);
            assert.strictEqual(await app.text(`${details} .bytes-to-network`), '0');
            assert.strictEqual(await app.text(`${details} .bytes-from-network`), '0');
            assert.strictEqual(await app.page.$eval(view, (element) => element.classList.contains('hn')), true);

            await app.page.click(`${details} .monitor-toggle`);
            await app.waitVisible(view, 5000);
            assert.strictEqual(await app.text(`${view} .monitor-empty`),
                               'No bytes yet: the monitor shows what passes from now on.');
            const [status] = await bridgeCall(app, 'getVirtualSerialPortsStatusJson', 11);
            assert.deepStrictEqual([status.monitor, status.trace, status.state, status.serialName.startsWith('COM')],
                                   [true, false, 'idle', true]);

            // The trace goes to an owner-only file whose path the view shows.
            await app.page.click(`${details} .trace-toggle`);
            await app.page.waitForFunction((selector) => document.querySelector(selector).textContent.endsWith('.trace'),
                                           { timeout: 5000 }, `${view} .trace-path`);
            const trace = await app.text(`${view} .trace-path`);
            assert.strictEqual(fs.lstatSync(trace).mode & 0o777, 0o600);
            assert.strictEqual(fs.statSync(path.dirname(trace)).mode & 0o777, 0o700);

            // Both texts of the row follow the language.
            await app.page.click('.navbar .language');
            await app.waitText(`${details} .relay-state`, 'Non connessa', 5000);

            await app.page.click(`${details} .monitor-toggle`);
            await app.page.waitForSelector(view, { hidden: true, timeout: 5000 });
            await app.page.click(`${details} .trace-toggle`);
            await harness.waitUntil(async () => {
                const [now] = await bridgeCall(app, 'getVirtualSerialPortsStatusJson', 11);
                return now.monitor === false && now.trace === false;
            }, 'monitor and trace off in the bridge', 5000);
        });
    },
};
