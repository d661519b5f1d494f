'use strict';

// The virtual display scripts/run.sh starts when there is none (tools/lab/xdisplay.sh):
// only clients with its cookie get in, the desktop user with its own copy and root with
// root's; any other local user, with or without the path of a copy, stays out.

const { execFileSync, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const harness = require('../ui/harness');

const LAB = path.join(__dirname, '..', '..', 'tools', 'lab');
const NOBODY = { uid: 65534, gid: 65534 };

// Whether `user` ({uid, gid}, or null for root) can take a picture of the display.
function canReadScreen(display, user, xauthority) {
    const env = { PATH: '/usr/bin:/bin', HOME: '/nonexistent', DISPLAY: `:${display}` };
    if (xauthority)
        env.XAUTHORITY = xauthority;
    const options = { env, stdio: ['ignore', 'ignore', 'pipe'], timeout: 30000 };
    if (user)
        Object.assign(options, { uid: user.uid, gid: user.gid });
    return spawnSync('xwd', ['-root', '-silent'], options).status === 0;
}

function gone(pid) {
    try {
        const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
        return stat.slice(stat.lastIndexOf(')') + 2, stat.lastIndexOf(')') + 3) === 'Z';
    } catch (error) {
        return true;
    }
}

module.exports = {
    async 'the virtual display takes only clients with its cookie'({ assert }) {
        if (process.getuid && process.getuid() !== 0)
            throw new harness.Skip('needs root (a test account, the display as root)');
        for (const program of ['/usr/bin/Xvfb', '/usr/bin/xauth', '/usr/bin/xwd'])
            assert.ok(fs.existsSync(program), `${program} is not installed (run scripts/setup.sh)`);
        const name = `${process.pid % 100000}`;
        const group = `c2xg${name}`;
        const user = `c2xu${name}`;
        const dir = fs.mkdtempSync('/tmp/corrivo-display-');
        fs.chmodSync(dir, 0o755);
        let made = false;
        let pid = null;
        try {
            execFileSync('bash', [path.join(LAB, 'accounts.sh'), 'add', group, user], { stdio: 'pipe' });
            made = true;
            const desktop = { uid: Number(execFileSync('id', ['-u', user], { encoding: 'utf8' })),
                              gid: Number(execFileSync('id', ['-g', user], { encoding: 'utf8' })) };
            const started = execFileSync('bash', ['-c', `source "$1"; start_virtual_display "$2" "$3" "$4" || exit 1
                echo "$display $xvfb_pid $xauthority_root $xauthority_user"`, 'start', path.join(LAB, 'xdisplay.sh'),
            dir, String(desktop.uid), String(desktop.gid)], { encoding: 'utf8' }).trim().split(' ');
            const [display, xvfb, rootCookie, userCookie] = started;
            pid = Number(xvfb);

            const rootFile = fs.statSync(rootCookie);
            assert.deepStrictEqual([rootFile.uid, rootFile.mode & 0o777], [0, 0o600]);
            assert.deepStrictEqual([fs.statSync(path.dirname(rootCookie)).mode & 0o777], [0o700]);
            const userFile = fs.statSync(userCookie);
            assert.deepStrictEqual([userFile.uid, userFile.gid, userFile.mode & 0o777], [desktop.uid, desktop.gid, 0o600]);
            assert.strictEqual(fs.statSync(path.dirname(userCookie)).uid, 0);

            assert.ok(canReadScreen(display, null, rootCookie), 'root with its cookie');
            assert.ok(canReadScreen(display, desktop, userCookie), 'the desktop user with its copy');
            assert.ok(!canReadScreen(display, NOBODY, null), 'another user without a cookie');
            assert.ok(!canReadScreen(display, NOBODY, userCookie), 'another user naming the desktop user\'s copy');
            assert.ok(!canReadScreen(display, NOBODY, rootCookie), 'another user naming root\'s copy');
            assert.ok(!canReadScreen(display, null, null), 'root without the cookie');
        } finally {
            if (pid && !gone(pid)) {
                process.kill(pid, 'SIGTERM');
                await harness.waitUntil(async () => gone(pid), 'Xvfb gone', 10000).catch(() => process.kill(pid, 'SIGKILL'));
            }
            if (made)
                execFileSync('bash', [path.join(LAB, 'accounts.sh'), 'remove', group, user], { stdio: 'pipe' });
            fs.rmSync(dir, { recursive: true, force: true });
        }
    },
};
