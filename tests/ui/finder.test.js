'use strict';

// Finding devices in a large list: the search, the online filter, the rows drawn only
// in view, favourites and recent devices, and the keyboard, against the cloud
// simulator with a fleet of 5000 devices (tests/ui/fleet.js) or a small fixture.

const { withSignedIn, bridgeCall, reloadDomains } = require('./session');
const fleet = require('./fleet');

const FLEET_SIZE = 5000;
const MAX_ROWS = 200;
const FLEET_LOGIN = { user: fleet.USER, password: fleet.PASSWORD };

function small() {
    const device = (id, name, type, online) => ({ id, name, type, vpn_status: online, vpn_ip: `10.1.0.${id}`, api_key: `k${id}` });
    return {
        users: [{ username: 'alice', password: 'secret' }],
        domains: [
            { id: 1, name: 'Plant North', vpn_enable: 1,
              devices: [device(11, 'Gateway 01', 1, 1), device(12, 'Sensor 02', 5, 0), device(13, 'Meter 03', 3, 1)] },
            { id: 2, name: 'Plant South', vpn_enable: 1,
              devices: [device(21, 'Router 21', 1, 1), device(22, 'Router 22', 5, 1), device(23, 'Pump 23', 3, 1)] },
            { id: 3, name: 'Site East', vpn_enable: 1, devices: [device(31, 'Router <b>31</b>', 1, 1)] },
        ],
    };
}

// The devices a query should find, by the rule the page states: the text (ignoring
// case) inside the device name, its id or its domain's name.
function expectedMatches(world, query) {
    const text = query.trim().toLowerCase();
    return world.domains.flatMap((domain) => domain.devices
        .filter((d) => [d.name, String(d.id), domain.name].some((s) => s.toLowerCase().includes(text)))
        .map((d) => ({ domain: domain.id, id: d.id })));
}

// The list as the page shows it: groups not hidden with their count and open state,
// and the drawn device rows.
function shownList(app) {
    return app.page.evaluate(() => ({
        groups: Array.from(document.querySelectorAll('#domainsContainer .domain-container'))
            .filter((group) => !group.hidden)
            .map((group) => ({
                id: Number(group.querySelector('.domain').getAttribute('data-id')),
                count: group.querySelector('.match-count').textContent,
                open: !group.querySelector('.device-container').classList.contains('closed'),
            })),
        rows: Array.from(document.querySelectorAll('#domainsContainer .row.device[data-id]'))
            .map((row) => Number(row.getAttribute('data-id'))),
        noMatches: !document.querySelector('#deviceFinder .no-matches').classList.contains('hn'),
    }));
}

function drawnRowCount(app) {
    return app.page.evaluate(() => document.querySelectorAll('#domainsContainer .row.device[data-id]').length);
}

// Types into the search and waits until the page has taken the text and shows `want`
// device rows (any number when null; for more than a few, at least a few: how many a
// view holds depends on the window); resolves the time from the last key to the
// frame after the page took it in, as the page measured it.
async function search(app, query, want) {
    await app.page.evaluate(() => {
        const input = document.querySelector('#deviceFinder .device-search');
        input.value = '';
        input.dispatchEvent(new Event('input'));
        window.__lastKey = null;
        window.__shownAt = null;
        if (!window.__timed) {
            window.__timed = true;
            // Heard after the page's own listener, which filters the list at once.
            input.addEventListener('keydown', () => { window.__lastKey = performance.now(); });
            input.addEventListener('input', () => requestAnimationFrame(() => { window.__shownAt = performance.now(); }));
        }
    });
    await app.page.type('#deviceFinder .device-search', query);
    await app.page.waitForFunction((text, n) => {
        const rows = document.querySelectorAll('#domainsContainer .row.device[data-id]').length;
        const enough = n === null ? rows > 0 : (n <= 5 ? rows === n : rows >= 5);
        return deviceList.query === text && enough && window.__shownAt > window.__lastKey;
    }, { timeout: 10000 }, query.trim().toLowerCase(), want);
    return app.page.evaluate(() => window.__shownAt - window.__lastKey);
}

async function onlineCount(app) {
    return Number(await app.text('#deviceFinder .online-count'));
}

function countOnline(world) {
    return world.domains.flatMap((domain) => domain.devices).filter((d) => d.vpn_status === 1).length;
}

module.exports = {
    async 'at 5000 devices the search finds names, ids and domains, opens their groups and counts them'({ harness, assert }) {
        const world = fleet.fixture(FLEET_SIZE);
        await withSignedIn(harness, 'finder-search', world, FLEET_LOGIN, async ({ app }) => {
            const device = world.domains[172].devices[21];
            const cases = [
                { query: device.name, what: 'a unique name' },
                { query: device.name.toUpperCase(), what: 'the name in capitals' },
                { query: String(world.domains[40].devices[3].id), what: 'a device id' },
                { query: 'site 199', what: 'a domain name (and the names that hold it)' },
                { query: '<b>"]', what: 'markup and selector text' },
            ];
            for (const { query, what } of cases) {
                const want = expectedMatches(world, query);
                const ms = await search(app, query, want.length);
                console.log(`search for ${what} (${JSON.stringify(query)}): ${want.length} shown ${ms.toFixed(1)} ms after the last key`);
                const shown = await shownList(app);
                const domainIds = [...new Set(want.map((m) => m.domain))];
                assert.deepStrictEqual(shown.groups, domainIds.map((id) => ({
                    id, count: String(want.filter((m) => m.domain === id).length), open: true,
                })), what);
                assert.deepStrictEqual(shown.rows, want.map((m) => m.id).slice(0, shown.rows.length), what);
                assert.strictEqual(shown.noMatches, want.length === 0, what);
            }
            assert.strictEqual(await app.page.evaluate(() => window.__ran === true), false);

            // Cleared, the list is as before the search: every group, the one opened
            // last open, no counts.
            await app.page.evaluate(() => {
                const input = document.querySelector('#deviceFinder .device-search');
                input.value = '';
                input.dispatchEvent(new Event('input'));
            });
            const cleared = await shownList(app);
            assert.strictEqual(cleared.groups.length, world.domains.length);
            assert.deepStrictEqual(cleared.groups.filter((g) => g.open).map((g) => g.id), [world.domains[0].id]);
            assert.ok(cleared.groups.every((g) => g.count === ''));
        });
    },

    async 'at 5000 devices no more than 200 rows exist while the whole list scrolls by, and the view always has its rows'({ harness, assert }) {
        const world = fleet.fixture(FLEET_SIZE);
        await withSignedIn(harness, 'finder-scroll', world, FLEET_LOGIN, async ({ app }) => {
            // Every device of the fleet matches: all groups open.
            await search(app, 'of site', null);
            const samples = await app.page.evaluate(async () => {
                const page = document.querySelector('.page');
                const frame = () => new Promise((resolve) => requestAnimationFrame(() => setTimeout(resolve, 0)));
                const result = { max: 0, steps: 0, gaps: [], seen: new Set() };
                page.scrollTop = 0;
                await frame();
                while (true) {
                    const rows = document.querySelectorAll('#domainsContainer .row.device[data-id]');
                    result.max = Math.max(result.max, rows.length);
                    rows.forEach((row) => result.seen.add(row.getAttribute('data-id')));
                    // The middle of the view is never a group's place for rows not drawn.
                    const box = page.getBoundingClientRect();
                    const middle = document.elementFromPoint(box.left + box.width / 2, box.top + box.height / 2);
                    const hit = middle && middle.closest('.row.device[data-id], .row.domain, .device-container');
                    if (hit !== null && hit !== undefined && hit.classList.contains('device-container'))
                        result.gaps.push(page.scrollTop);
                    result.steps++;
                    if (page.scrollTop + page.clientHeight >= page.scrollHeight - 1)
                        break;
                    page.scrollTop += page.clientHeight * 0.7;
                    await frame();
                }
                return { max: result.max, steps: result.steps, gaps: result.gaps, seen: result.seen.size };
            });
            console.log(`scrolled ${FLEET_SIZE} devices in ${samples.steps} steps: at most ${samples.max} rows, ${samples.seen} rows drawn in all`);
            assert.ok(samples.steps > 100, `${samples.steps} steps`);
            assert.ok(samples.max > 0 && samples.max <= MAX_ROWS, `at most ${samples.max} rows`);
            assert.deepStrictEqual(samples.gaps, []);
            assert.strictEqual(samples.seen, FLEET_SIZE);
            const last = world.domains[world.domains.length - 1].devices.slice(-1)[0];
            assert.ok(await app.page.$(`.row.device.last[data-id="${last.id}"]`), 'the last row drawn at the bottom');
        });
    },

    async 'at 5000 devices the online count is the fleet\'s and follows a reload; the filter shows only online devices'({ harness, assert }) {
        const world = fleet.fixture(FLEET_SIZE);
        await withSignedIn(harness, 'finder-online', world, FLEET_LOGIN, async ({ app, simulator }) => {
            assert.strictEqual(await onlineCount(app), countOnline(world));
            // No other domain's name, nor any device's, holds this one's.
            const site = world.domains[199];
            await app.page.click('#deviceFinder .online-only');
            await search(app, site.name, site.devices.filter((d) => d.vpn_status === 1).length);
            assert.deepStrictEqual((await shownList(app)).rows, site.devices.filter((d) => d.vpn_status === 1).map((d) => d.id));

            const flipped = fleet.flipOnePercent(world, 0);
            // One of the shown group's devices goes offline and one comes online.
            const goes = site.devices.find((d) => d.vpn_status === 1);
            const comes = site.devices.find((d) => d.vpn_status === 0);
            goes.vpn_status = 0;
            comes.vpn_status = 1;
            await simulator.control('POST', '/_sim/fixture', world);
            await reloadDomains(app);
            assert.ok(flipped.length >= 50);
            assert.strictEqual(await onlineCount(app), countOnline(world));
            assert.deepStrictEqual((await shownList(app)).rows, site.devices.filter((d) => d.vpn_status === 1).map((d) => d.id));
        });
    },

    async 'favourites and recent devices are kept for the user over a restart; a chip shows its device'({ harness, assert }) {
        await withSignedIn(harness, 'finder-quick', small(), {}, async ({ app }) => {
            const quick = () => app.page.evaluate(() => ({
                favourites: Array.from(document.querySelectorAll('#deviceFinder .favourites .quick-device')).map((c) => c.textContent),
                recents: Array.from(document.querySelectorAll('#deviceFinder .recents .quick-device')).map((c) => c.textContent),
                stars: Array.from(document.querySelectorAll('#domainsContainer .favourite.on'))
                    .map((s) => Number(s.closest('.device').getAttribute('data-id'))),
            }));
            assert.deepStrictEqual(await quick(), { favourites: [], recents: [], stars: [] });
            await app.page.click('#domainsContainer .device[data-id="13"] .favourite');
            await app.page.click('#domainsContainer .device[data-id="11"] .favourite');
            await app.page.click('#domainsContainer .device[data-id="13"] .favourite');
            await app.page.evaluate(() => { deviceList.reveal(31); });
            await app.page.click('#domainsContainer .device[data-id="31"] .favourite');
            // Opened or connected to: the web page, the port view, a connection.
            await app.page.evaluate(() => {
                HLV.openDeviceWebUI = () => {};
                HLV.startVpnDevice = () => {};
                document.querySelector('#domainsContainer .device[data-id="12"] .settings').click();
                document.querySelector('.icon-back').click();
                document.querySelector('#domainsContainer .device[data-id="11"] .name').click();
                document.querySelector('#domainsContainer .device[data-id="31"] .connect').click();
            });
            const expected = { favourites: ['Gateway 01', 'Router <b>31</b>'], recents: ['Router <b>31</b>', 'Gateway 01', 'Sensor 02'] };
            await harness.waitUntil(async () => (await quick()).recents.length === 3, 'three recent devices', 5000);
            assert.deepStrictEqual(await quick(), Object.assign({ stars: [11, 31] }, expected));
            assert.deepStrictEqual(await bridgeCall(app, 'getFavouriteDevices'), [11, 31]);

            await app.restart();
            await app.waitVisible('#domainsContainer', 20000);
            await harness.waitUntil(async () => (await quick()).recents.length === 3, 'the lists after the restart', 10000);
            // Group 3 closed again after the restart: its starred row is not drawn.
            assert.deepStrictEqual(await quick(), Object.assign({ stars: [11] }, expected));
            assert.ok(await app.page.evaluate(() => document.querySelector('#deviceFinder .recents .quick-device b') === null));

            // A chip opens the device's group and puts the cursor on its row, clearing a
            // search that hides it.
            await app.page.type('#deviceFinder .device-search', 'gateway');
            await app.page.click('#deviceFinder .favourites .quick-device:nth-child(2)');
            await app.page.waitForSelector('#domainsContainer .device.cursor[data-id="31"] .favourite.on', { timeout: 5000 });
            assert.strictEqual(await app.page.$eval('#deviceFinder .device-search', (input) => input.value), '');
        });
    },

    async 'the search finds the names of virtual ports and of the interfaces they serve'({ harness, assert }) {
        await withSignedIn(harness, 'finder-ports', small(), {}, async ({ app }) => {
            assert.strictEqual(await bridgeCall(app, 'create', 0, 22), true);
            assert.strictEqual(await bridgeCall(app, 'create', 3, 12), true);
            const [port] = await bridgeCall(app, 'getVirtualSerialPortsByDeviceIdJson', 22);
            const cases = [
                { query: port.serialName, rows: [22] },
                { query: 'RS 232 A', rows: [22] },
                { query: 'usb', rows: [12] },
                { query: 'rs 485', rows: [] },
            ];
            for (const { query, rows } of cases) {
                await search(app, query, rows.length);
                assert.deepStrictEqual((await shownList(app)).rows, rows, query);
            }
        });
    },

    async 'the finder\'s texts follow the language'({ harness, assert }) {
        await withSignedIn(harness, 'finder-language', small(), {}, async ({ app }) => {
            const texts = () => app.page.evaluate(() => ({
                placeholder: document.querySelector('#deviceFinder .device-search').getAttribute('placeholder'),
                online: document.querySelector('#deviceFinder .online-filter .to-translate').textContent,
                labels: Array.from(document.querySelectorAll('#deviceFinder .quick-label')).map((l) => l.textContent),
                none: document.querySelector('#deviceFinder .no-matches').textContent.trim(),
            }));
            assert.deepStrictEqual(await texts(), {
                placeholder: 'Search devices and domains (Ctrl+F)', online: 'Online only',
                labels: ['Favourites', 'Recent'], none: 'No device matches the search',
            });
            await app.page.click('.language');
            await app.page.waitForFunction(() => document.querySelector('#deviceFinder .online-filter .to-translate')
                .textContent === 'Solo online', { timeout: 5000 });
            assert.deepStrictEqual(await texts(), {
                placeholder: 'Cerca dispositivi e domini (Ctrl+F)', online: 'Solo online',
                labels: ['Preferiti', 'Recenti'], none: 'Nessun dispositivo corrisponde alla ricerca',
            });
        });
    },

    async 'keys: Ctrl+F and / go to the search, arrows move over the shown rows, Enter connects, Esc clears'({ harness, assert }) {
        await withSignedIn(harness, 'finder-keys', small(), {}, async ({ app }) => {
            await app.page.evaluate(() => {
                window.__started = [];
                HLV.startVpnDevice = (id) => window.__started.push(id);
                document.activeElement.blur();
            });
            const state = () => app.page.evaluate(() => ({
                focused: document.activeElement === document.querySelector('#deviceFinder .device-search'),
                query: document.querySelector('#deviceFinder .device-search').value,
                cursor: Array.from(document.querySelectorAll('#domainsContainer .device.cursor')).map((r) => Number(r.getAttribute('data-id'))),
                started: window.__started,
                orange: Array.from(document.querySelectorAll('#domainsContainer .device.bg-orange')).map((r) => Number(r.getAttribute('data-id'))),
            }));

            for (const keys of [['Control', 'f'], ['/']]) {
                await app.page.evaluate(() => document.activeElement.blur());
                for (const key of keys)
                    await app.page.keyboard.down(key);
                for (const key of keys.reverse())
                    await app.page.keyboard.up(key);
                assert.strictEqual((await state()).focused, true, keys.join('+'));
            }

            // Typing picks the first match; the arrows walk the matches of open groups.
            await app.page.keyboard.type('router');
            await app.page.waitForFunction(() => document.querySelectorAll('#domainsContainer .row.device[data-id]').length === 3,
                                           { timeout: 5000 });
            const steps = [
                ['ArrowDown', [22]], ['ArrowDown', [31]], ['ArrowDown', [31]], ['ArrowUp', [22]], ['ArrowUp', [21]], ['ArrowUp', [21]],
            ];
            assert.deepStrictEqual((await state()).cursor, [21]);
            for (const [key, cursor] of steps) {
                await app.page.keyboard.press(key);
                assert.deepStrictEqual((await state()).cursor, cursor, key);
            }
            await app.page.keyboard.press('ArrowDown');
            await app.page.keyboard.press('Enter');
            const connected = await state();
            assert.deepStrictEqual([connected.started, connected.orange], [[22], [22]]);

            await app.page.keyboard.press('Escape');
            const cleared = await state();
            assert.strictEqual(cleared.query, '');
            assert.deepStrictEqual((await shownList(app)).groups.map((g) => [g.id, g.open]), [[1, true], [2, false], [3, false]]);
            // A row drawn again (its group closed with the search, then opened) keeps the
            // tunnel's highlight.
            const redrawn = await app.page.evaluate(() => {
                deviceList.reveal(22);
                const row = document.querySelector('#domainsContainer .device[data-id="22"]');
                return [row.classList.contains('bg-orange'), row.querySelector('.spinner-vpn').classList.contains('loader')];
            });
            assert.deepStrictEqual(redrawn, [true, true]);
            await app.page.click('#domainsContainer .domain[data-id="2"]');

            // Without a search the arrows walk the open group; an offline row does not connect.
            await app.page.evaluate(() => document.activeElement.blur());
            await app.page.keyboard.press('ArrowDown');
            await app.page.keyboard.press('ArrowDown');
            assert.deepStrictEqual((await state()).cursor, [12]);
            await app.page.keyboard.press('Enter');
            assert.deepStrictEqual((await state()).started, [22]);
        });
    },
};
