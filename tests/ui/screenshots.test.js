'use strict';

// Pictures of the splash screen and the login page in both languages, for the docs.

const path = require('node:path');

module.exports = {
    async 'splash screen and login page in English and Italian'({ harness, assert }) {
        const dir = process.env.CORRIVO_SCREENSHOT_DIR || path.join(process.env.HOME, 'screenshots');
        await harness.withApp({ home: harness.freshHome('shots') }, async (app) => {
            await app.page.goto('qrc:/index.html', { waitUntil: 'domcontentloaded' });
            await app.waitVisible('.splash-screen img');
            await app.page.waitForFunction(() => document.querySelector('.splash-screen img').complete);
            const splashShown = await app.page.$eval('.splash-screen', (e) => !e.classList.contains('hn'));
            assert.ok(splashShown, 'splash still shown when pictured');
            await app.screenshot(path.join(dir, 'splash.png'));

            await app.waitLoginForm();
            await app.page.evaluate(() => document.fonts.ready);
            await app.settle();
            await app.screenshot(path.join(dir, 'login-en.png'));

            await app.page.click('.language');
            await app.waitText('.form-buttons .forgot-password', 'Password dimenticata', 5000);
            await app.page.waitForFunction(() => document.querySelectorAll('.lang-text').length === 1);
            await app.page.click('#loginContainer .login');
            await app.waitText('.form-row-feedback', 'Lo username è vuoto', 5000);
            await app.screenshot(path.join(dir, 'login-it.png'));
        });
    },
};
