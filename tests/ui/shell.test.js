'use strict';

// The page frame: language switch, traffic counters, the VPN event queue and how text
// from outside reaches the page.

// Every element the language switch works on, with its text, as the user sees it now.
async function tableTexts(app) {
    return app.page.evaluate(() => {
        const elements = document.querySelectorAll('.to-translate, [data-i18n]');
        return Array.from(elements).map((element) => ({
            html: element.innerHTML.trim(),
            visible: element.offsetParent !== null,
        }));
    });
}

// Checks that each non-empty translated text on the page belongs to `language`'s column
// (texts equal in both languages count for both).
async function assertAllIn(app, assert, language) {
    const columns = await app.page.evaluate(() => {
        const normalise = (text) => {
            const probe = document.createElement('div');
            probe.innerHTML = text;
            return probe.innerHTML.trim();
        };
        const out = {};
        for (const lang of Object.keys(resources))
            out[lang] = Object.values(resources[lang].translation).map(normalise);
        return out;
    });
    const texts = await tableTexts(app);
    const visible = texts.filter((t) => t.visible && t.html !== '');
    assert.ok(visible.length >= 5, `enough visible texts: ${JSON.stringify(visible)}`);
    for (const text of texts) {
        if (text.html === '')
            continue;
        assert.ok(columns[language].includes(text.html), `"${text.html}" is a text of "${language}"`);
    }
}

async function switchLanguage(app, expectedCode) {
    await app.page.click('.language');
    await app.page.waitForFunction((code) => {
        const texts = document.querySelectorAll('.lang-text');
        return texts.length === 1 && texts[0].textContent === code;
    }, { timeout: 5000 }, expectedCode);
}

module.exports = {
    async 'language switch turns every table text to Italian and back, and is kept'({ harness, assert }) {
        const home = harness.freshHome('language');
        const app = new harness.App({ home });
        try {
            await app.start();
            await app.waitLoginForm();
            assert.strictEqual(await app.text('.lang-text'), 'EN');
            assert.strictEqual(await app.text('.status-desc'), 'Not connected');
            // A message on screen is a table text too.
            await app.page.click('#loginContainer .login');
            await app.waitText('.form-row-feedback', 'Username is empty', 5000);
            await assertAllIn(app, assert, 'en');

            // The old code slides out while the new one comes in. The slide lasts 200 ms,
            // so the page itself records what the switch shows the moment it changes.
            await app.page.evaluate(() => {
                window.languageSlide = null;
                const container = document.querySelector('.lang-container');
                const observer = new MutationObserver(() => {
                    const texts = container.querySelectorAll('.lang-text');
                    if (texts.length !== 2)
                        return;
                    window.languageSlide = Array.from(texts).map((e) => [e.textContent, e.classList.contains('translate-left')]);
                    observer.disconnect();
                });
                observer.observe(container, { childList: true, subtree: true, attributes: true });
            });
            await app.page.click('.language');
            const sliding = await (await app.page.waitForFunction(() => window.languageSlide, { timeout: 5000 })).jsonValue();
            assert.deepStrictEqual(sliding, [['EN', true], ['IT', false]]);
            await app.page.waitForFunction(() => document.querySelectorAll('.lang-text').length === 1, { timeout: 5000 });

            assert.strictEqual(await app.text('.status-desc'), 'Non connesso');
            assert.strictEqual(await app.text('.status-tip'), 'Seleziona un dispositivo');
            assert.strictEqual(await app.text('.power-button .desc'), 'Connetti');
            assert.strictEqual(await app.text('.form-row-feedback'), 'Lo username è vuoto');
            assert.strictEqual(await app.text('.form-buttons .forgot-password'), 'Password dimenticata');
            await assertAllIn(app, assert, 'it');

            await switchLanguage(app, 'EN');
            assert.strictEqual(await app.text('.status-desc'), 'Not connected');
            assert.strictEqual(await app.text('.form-row-feedback'), 'Username is empty');
            await assertAllIn(app, assert, 'en');

            // The choice survives a restart.
            await switchLanguage(app, 'IT');
            await app.restart();
            await app.waitLoginForm();
            assert.strictEqual(await app.text('.lang-text'), 'IT');
            assert.strictEqual(await app.text('.status-desc'), 'Non connesso');
            assert.strictEqual(await app.text('.form-buttons .forgot-password'), 'Password dimenticata');
            await assertAllIn(app, assert, 'it');
        } catch (error) {
            error.message += `\n--- application output ---\n${app.output.slice(-4000)}`;
            throw error;
        } finally {
            await app.stop();
        }
    },

    async 'a stored language outside the list reads in English and switches to Italian'({ harness, assert }) {
        const app = new harness.App({ home: harness.freshHome('language-de') });
        try {
            await app.start();
            await app.waitLoginForm();
            await app.page.evaluate(() => HLV.setLanguage('de'));
            await app.restart();
            await app.waitLoginForm();
            assert.strictEqual(await app.page.evaluate(() => HLV.language), 'de');
            assert.strictEqual(await app.text('.lang-text'), 'EN');
            assert.strictEqual(await app.text('.status-desc'), 'Not connected');
            assert.strictEqual(await app.text('.form-buttons .forgot-password'), 'Forgot password');
            await switchLanguage(app, 'IT');
            assert.strictEqual(await app.text('.status-desc'), 'Non connesso');
            assert.strictEqual(await app.text('.form-buttons .forgot-password'), 'Password dimenticata');

            // Upper case is the same language.
            await app.page.evaluate(() => HLV.setLanguage('IT'));
            await app.restart();
            await app.waitLoginForm();
            assert.strictEqual(await app.text('.lang-text'), 'IT');
            await switchLanguage(app, 'EN');
            assert.strictEqual(await app.text('.status-desc'), 'Not connected');
        } catch (error) {
            error.message += `\n--- application output ---\n${app.output.slice(-4000)}`;
            throw error;
        } finally {
            await app.stop();
        }
    },

    async 'a guided tour shows table texts, holds clicks on its target and follows the language'({ harness, assert }) {
        await harness.withApp({ home: harness.freshHome('tour') }, async (app) => {
            await app.waitLoginForm();
            await app.page.evaluate(() => {
                window.__clicks = 0;
                domains.list = [{ id: 1, name: 'Plant', vpn_enable: 1,
                                  devices: [{ id: 2, name: 'Gateway', type: 1, vpn_status: 1 }] }];
                dom.show_sidebar();
                domains.showPage();
                document.querySelector('.sidebar .content').addEventListener('click', () => window.__clicks++);
                tour.step_1.show();
                tour.step_1.show(); // shown once only
            });
            await app.waitVisible('.anno .anno-content');
            const first = await app.page.evaluate(() => ({
                content: document.querySelector('.anno-content').innerHTML,
                buttons: Array.from(document.querySelectorAll('.anno-btn')).map((b) => b.textContent),
                annos: document.querySelectorAll('.anno').length,
                visible: tour.step_1.is_visible,
            }));
            assert.strictEqual(first.content, 'This area is dedicated to the VPN and its status.<br>During the connection it shows the name of the device and the used data traffic.');
            assert.deepStrictEqual(first.buttons, ['Skip', 'Next']);
            assert.strictEqual(first.annos, 1);
            assert.strictEqual(first.visible, true);

            await app.page.evaluate(() => document.querySelector('.sidebar .content').click());
            assert.strictEqual(await app.page.evaluate(() => window.__clicks), 0, 'click held while shown');

            await app.page.click('.language');
            await app.waitText('.anno-content', 'Area dedicata alla VPN e al suo stato.Una volta avvenuta la connessione viene riportato il nome del dispositivo a cui si è collegati ed il traffico dati che è stato effettuato.', 5000);
            const buttons = await app.page.evaluate(() => Array.from(document.querySelectorAll('.anno-btn')).map((b) => b.textContent));
            assert.deepStrictEqual(buttons, ['Salta', 'Avanti']);

            await app.page.click('.anno-btn-low-importance');
            await app.page.waitForFunction(() => document.querySelectorAll('.anno').length === 0, { timeout: 5000 });
            assert.strictEqual(await app.page.evaluate(() => tour.step_1.is_visible), false);
            await app.page.evaluate(() => document.querySelector('.sidebar .content').click());
            assert.strictEqual(await app.page.evaluate(() => window.__clicks), 1, 'clicks reach the target again');
        });
    },

    async 'traffic counters scale bytes to B, kB, MB and GB'({ harness, assert }) {
        await harness.withApp({ home: harness.freshHome('counters') }, async (app) => {
            await app.waitLoginForm();
            const rows = [
                [0, '0', 'B'],
                [1023, '1023', 'B'],
                [1024, '1', 'kB'],
                [1536, '1.5', 'kB'],
                [1048575, '1', 'MB'],
                [1048576, '1', 'MB'],
                [5 * 1048576 + 104858, '5.1', 'MB'],
                [1073741824, '1', 'GB'],
                [1099511627776, '1024', 'GB'],
            ];
            for (const [bytes, value, unit] of rows) {
                const shown = await app.page.evaluate((b) => {
                    app.showStats('.stats-in', b);
                    app.showStats('.stats-out', b * 2);
                    return [document.querySelector('.stats-in .value').textContent,
                            document.querySelector('.stats-in .unit').textContent];
                }, bytes);
                assert.deepStrictEqual(shown, [value, unit], `${bytes} bytes`);
            }
            const doubled = await app.page.evaluate(() => [
                document.querySelector('.stats-out .value').textContent,
                document.querySelector('.stats-out .unit').textContent]);
            assert.deepStrictEqual(doubled, ['2048', 'GB']);

            // The periodic poll puts the bridge's figures back (none without a tunnel).
            await app.waitText('.stats-in .value', '0', 10000);
            assert.strictEqual(await app.text('.stats-in .unit'), 'B');
        });
    },

    async 'a burst of VPN signals reaches the page as its last event'({ harness, assert }) {
        await harness.withApp({ home: harness.freshHome('burst') }, async (app) => {
            await app.waitLoginForm();
            const result = await app.page.evaluate(() => new Promise((resolve) => {
                const seen = [];
                const record = (event) => seen.push([event.type, event.detail.reason]);
                HLV_EVENTS.addListener(EVENT_VPN_DISCONNECTED, record);
                HLV_EVENTS.addListener(EVENT_VPN_CONNECTING, record);
                HLV_EVENTS.handlers.onDisconnected();
                const atOnce = seen.length;
                setTimeout(() => HLV_EVENTS.handlers.onOperationNotPermitted(), 50);
                setTimeout(() => resolve({ atOnce, seen }), 800);
            }));
            assert.strictEqual(result.atOnce, 0, 'a disconnection waits in the queue');
            assert.deepStrictEqual(result.seen, [['HLV.vpn.disconnected', 'onOperationNotPermitted']]);
            assert.strictEqual(await app.text('.status-desc'), 'Not connected');
            assert.ok(await app.page.$eval('.vpn-status-row', (e) => e.classList.contains('bg-red')));
        });
    },

    async 'native bridge signals become their DOM events at once'({ harness, assert }) {
        const binary = process.env.CORRIVO_UITEST_APP;
        await harness.withApp({ binary, home: harness.freshHome('native-events') }, async (app) => {
            await app.waitLoginForm();
            await app.page.evaluate(() => {
                window.__seen = [];
                for (const name of [EVENT_LOAD_DOMAINS_SUCCESS, EVENT_LOAD_DOMAINS_ERROR,
                                    EVENT_RELOAD_DOMAINS_SUCCESS, EVENT_RELOAD_DOMAINS_ERROR])
                    HLV_EVENTS.addListener(name, (event) => window.__seen.push(event.type));
            });
            for (const signal of ['onReloadDomainsError', 'onLoadDomainsSuccess'])
                assert.ok(await harness.emitNative(app, '', signal), signal);
            assert.strictEqual(await harness.emitNative(app, '', 'noSuchSignal'), false);
            await app.page.waitForFunction(() => window.__seen.length === 2, { timeout: 5000 });
            assert.deepStrictEqual(await app.page.evaluate(() => window.__seen),
                                   ['HLV.domains.reload.error', 'HLV.domains.load.success']);
        });
    },

    async 'the native signals of a burst reach the page as one event with the second reason'({ harness, assert }) {
        const binary = process.env.CORRIVO_UITEST_APP;
        await harness.withApp({ binary, home: harness.freshHome('native-burst') }, async (app) => {
            await app.waitLoginForm();
            await app.page.evaluate(() => {
                window.__seen = [];
                HLV_EVENTS.addListener(EVENT_VPN_DISCONNECTED, (event) => window.__seen.push(event.detail.reason));
            });
            // Both signals leave the native side in one go, as a drop and its cause do.
            const emitted = await app.page.evaluate(() => Promise.all(['onDisconnected', 'onOperationNotPermitted']
                .map((signal) => new Promise((resolve) => window.channel.objects.TestHook.emitSignal('vpn', signal, resolve)))));
            assert.deepStrictEqual(emitted, [true, true]);
            await app.page.waitForFunction(() => window.__seen.length > 0 && HLV_EVENTS.vpn.timeout === null,
                                           { timeout: 5000 });
            // A later signal outside the queue: once it is here, everything sent before it
            // has arrived, and the queue holds nothing more.
            await app.page.evaluate(() => {
                window.__later = false;
                HLV_EVENTS.addListener(EVENT_RELOAD_DOMAINS_ERROR, () => { window.__later = true; });
            });
            assert.ok(await harness.emitNative(app, '', 'onReloadDomainsError'));
            await app.page.waitForFunction(() => window.__later, { timeout: 5000 });
            assert.strictEqual(await app.page.evaluate(() => HLV_EVENTS.vpn.timeout), null);
            assert.deepStrictEqual(await app.page.evaluate(() => window.__seen), ['onOperationNotPermitted']);
        });
    },

    async 'connecting cancels a waiting disconnection; connected without a device shows ???'({ harness, assert }) {
        await harness.withApp({ home: harness.freshHome('queue') }, async (app) => {
            await app.waitLoginForm();
            const seen = await app.page.evaluate(() => new Promise((resolve) => {
                const seen = [];
                const record = (event) => seen.push(event.type);
                for (const name of [EVENT_VPN_DISCONNECTED, EVENT_VPN_CONNECTING, EVENT_VPN_CONNECTED])
                    HLV_EVENTS.addListener(name, record);
                HLV_EVENTS.handlers.onDisconnected();
                HLV_EVENTS.handlers.onConnecting(7);
                setTimeout(() => resolve(seen), 600);
            }));
            assert.deepStrictEqual(seen, ['HLV.vpn.connecting']);
            assert.strictEqual(await app.text('.status-tip'), 'Connecting... Wait');
            assert.ok(await app.page.$eval('.vpn-status-row', (e) => e.classList.contains('bg-orange')));
            assert.ok(await app.page.$('#fobj .shield.loader'), 'spinner drawn');
            assert.ok(await app.page.$eval('.power-button', (e) => e.classList.contains('hn')));

            await app.page.evaluate(() => HLV_EVENTS.handlers.onConnected(7));
            await app.waitText('.status-tip', '???', 5000);
            assert.strictEqual(await app.text('.status-desc'), 'Connected');
            assert.strictEqual(await app.text('.power-button .desc'), 'Disconnect');
            assert.ok(await app.page.$eval('.vpn-status-row', (e) => e.classList.contains('bg-green')));
            assert.strictEqual(await app.page.$('#fobj'), null, 'spinner removed');
            const fill = await app.page.$eval('#vpn-shield-container svg path', (e) => e.getAttribute('fill'));
            assert.strictEqual(fill.toLowerCase(), '#56f248');
        });
    },

    async 'the power button starts the last device when not connected'({ harness, assert }) {
        await harness.withApp({ home: harness.freshHome('power') }, async (app) => {
            await app.waitLoginForm();
            // Without a last device the bridge answers with a disconnection 200 ms later,
            // so the panel is read the moment it turns to connecting.
            await app.page.evaluate(() => {
                dom.show_sidebar();
                window.__atConnecting = null;
                const tip = document.querySelector('.status-tip');
                new MutationObserver(() => {
                    if (window.__atConnecting === null && tip.textContent.trim() === 'Connecting... Wait') {
                        window.__atConnecting = {
                            row: document.querySelector('.vpn-status-row').classList.contains('bg-orange'),
                            powerHidden: document.querySelector('.power-button').classList.contains('hn'),
                        };
                    }
                }).observe(tip, { childList: true, characterData: true, subtree: true });
            });
            await app.page.click('#vpn-shield-container .power-button');
            await app.page.waitForFunction(() => window.__atConnecting !== null, { timeout: 5000 });
            assert.deepStrictEqual(await app.page.evaluate(() => window.__atConnecting), { row: true, powerHidden: true });
        });
    },

    async 'names from outside are shown as text, never as markup'({ harness, assert }) {
        await harness.withApp({ home: harness.freshHome('markup') }, async (app) => {
            await app.waitLoginForm();
            const name = '<img src="x" onerror="window.__ran = true"><b>bold</b>';
            await app.page.type('#loginContainer input[name="username"]', name);
            // What a successful sign-in does with the typed name.
            await app.page.evaluate(() => {
                login.username = document.querySelector('#loginContainer input[name="username"]').value;
                login.on_login_success();
                dom.vpn.connected([{ name: '<img src="y" onerror="window.__ran = true">device' }]);
                domains.list = [{ id: 1, name: '<img src="z" onerror="window.__ran = true">domain',
                                  vpn_enable: 1,
                                  devices: [{ id: 2, name: '<i>dev</i>', type: 1, vpn_status: 1, vpn_ip: '10.0.0.2' }] }];
                domains.showPage();
            });
            await app.page.waitForFunction(() => document.querySelector('.device .name') !== null
                && document.querySelector('.status-tip').textContent !== '', { timeout: 5000 });
            const state = await app.page.evaluate(() => ({
                user: document.querySelector('.navbar .username').textContent,
                userElements: document.querySelector('.navbar .username').children.length,
                tip: document.querySelector('.status-tip').textContent,
                tipElements: document.querySelector('.status-tip').children.length,
                domain: document.querySelector('.domain .name').textContent,
                device: document.querySelector('.device .name').textContent.trim(),
                injected: document.querySelectorAll('.page img[src="z"], .page i:not(.material-icons)').length,
                ran: window.__ran === true,
            }));
            assert.strictEqual(state.user, name);
            assert.strictEqual(state.userElements, 0);
            assert.strictEqual(state.tip, '<img src="y" onerror="window.__ran = true">device');
            assert.strictEqual(state.tipElements, 0);
            assert.strictEqual(state.domain, '<img src="z" onerror="window.__ran = true">domain');
            assert.strictEqual(state.device, '<i>dev</i>');
            assert.strictEqual(state.injected, 0);
            assert.strictEqual(state.ran, false);
        });
    },
};
