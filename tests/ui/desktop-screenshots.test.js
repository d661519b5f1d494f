'use strict';

// The desktop's own pictures of Corrivo 2, against the VPN lab and real desktop programs
// on the test's display and a private session bus: an X11 tray (trayer) started after
// the application docks its icon, right-clicking it opens the menu, and a notification
// daemon that draws (dunst) shows the "connected" notification. The pictures go to
// $CORRIVO_SCREENSHOT_DIR (docs/screenshots has copies).

const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { withLab } = require('./lab');
const { withSignedIn } = require('./session');
const { withBus } = require('./dbus');

// A display of the test's own: the tray it starts must not take in the icons of
// applications that other tests run at the same time.
let display = process.env.DISPLAY;

function x11(program, args) {
    try {
        return execFileSync(program, args, { stdio: ['ignore', 'pipe', 'ignore'], timeout: 10000,
                                             env: Object.assign({}, process.env, { DISPLAY: display }) }).toString();
    } catch (error) {
        return '';
    }
}

function screenshot(file) {
    if (!process.env.CORRIVO_SCREENSHOT_DIR)
        return;
    fs.mkdirSync(process.env.CORRIVO_SCREENSHOT_DIR, { recursive: true });
    execFileSync('bash', ['-c', `xwd -root -silent | xwdtopnm 2>/dev/null | pnmtopng > "${path.join(process.env.CORRIVO_SCREENSHOT_DIR, file)}"`],
                 { env: Object.assign({}, process.env, { DISPLAY: display }) });
}

// The icon's window inside the tray's panel, as xwininfo lists it: its position on the
// screen, or null.
function dockedIcon() {
    const tree = x11('xwininfo', ['-root', '-tree']).split('\n');
    const panel = tree.findIndex((line) => /"panel": \("panel" "trayer"\)/.test(line));
    if (panel < 0)
        return null;
    for (const line of tree.slice(panel + 1, panel + 6)) {
        const match = /"Corrivo 2": \("corrivo2" "Corrivo 2"\)\s+(\d+)x(\d+)\+\S+\s+\+(-?\d+)\+(-?\d+)/.exec(line);
        if (match)
            return { x: Number(match[3]) + Number(match[1]) / 2, y: Number(match[4]) + Number(match[2]) / 2 };
    }
    return null;
}

// The application's top-level windows: the main window, and the menu once it opened.
function topLevelWindows() {
    return x11('xwininfo', ['-root', '-tree']).split('\n')
        .filter((line) => /^     0x[0-9a-f]+ "Corrivo 2": \("corrivo2" "Corrivo 2"\)/.test(line)).length;
}

module.exports = {
    async 'a tray started late docks the icon; its menu and the connected notification, as the desktop shows them'({ harness, assert }) {
        await withLab(harness, {}, async (lab) => {
            await withBus(harness, 'session', async (session) => {
                const server = session.spawn('Xvfb', ['-displayfd', '1', '-screen', '0', '1600x1000x24', '-nolisten', 'tcp'],
                                             { stdio: ['ignore', 'pipe', 'ignore'] });
                let number = '';
                server.stdout.on('data', (chunk) => { number += chunk.toString(); });
                await harness.waitUntil(async () => number.includes('\n'), 'a display of its own', 10000);
                display = `:${number.trim()}`;
                const desktop = Object.assign({}, process.env, session.env(), { DISPLAY: display });
                const fixture = {
                    users: [{ username: 'alice', password: 'secret' }],
                    domains: [{ id: 1, name: 'Plant North', vpn_enable: 1, vpn_files: lab.vpnFiles(),
                                devices: [{ id: 11, name: 'Gateway 01', type: 1, vpn_status: 1,
                                            vpn_ip: lab.value('LAB_VPN_SERVER_ADDR'), api_key: 'key11' }] }],
                };
                session.spawn('dunst', [], { env: desktop });
                await harness.waitUntil(async () => session.python(
                    'print(json.dumps(bool(bus.name_has_owner("org.freedesktop.Notifications"))))'), 'dunst', 15000);
                await withSignedIn(harness, 'desktop-screenshots', fixture, { env: Object.assign({ DISPLAY: display },
                                                                                                session.env()) },
                                   async ({ app }) => {
                    // The panel comes after the application.
                    session.spawn('trayer', ['--edge', 'top', '--align', 'right', '--widthtype', 'request',
                                             '--height', '32', '--transparent', 'false', '--tint', '0x2a3f55',
                                             '--SetDockType', 'true'], { env: desktop });
                    await harness.waitUntil(async () => dockedIcon() !== null, 'the icon docked in the tray', 15000);

                    await app.page.click('#domainsContainer .device[data-id="11"] .name');
                    await app.page.waitForFunction(() => document.querySelector('.vpn-status-row')
                        .classList.contains('bg-green'), { timeout: 40000 });
                    // dunst's window carries the notification's text in its name.
                    await harness.waitUntil(async () => x11('xdotool', ['search', '--onlyvisible', '--class', 'Dunst'])
                        .trim() !== '', 'the notification on screen', 10000);
                    screenshot('desktop-notification.png');

                    const icon = dockedIcon();
                    const before = topLevelWindows();
                    x11('xdotool', ['mousemove', String(Math.round(icon.x)), String(Math.round(icon.y)), 'click', '3']);
                    await harness.waitUntil(async () => topLevelWindows() > before, 'the tray menu', 10000);
                    screenshot('desktop-tray-menu.png');
                    x11('xdotool', ['key', 'Escape']);
                });
            });
        });
    },
};
