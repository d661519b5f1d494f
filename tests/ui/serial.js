'use strict';

// The virtual serial port pairs of a test's own serial directory. Their holders are
// detached on purpose (a pair outlives the program that made it), so a test that stops
// the application abruptly removes what is left itself.

const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

// setupc uses only a pairs' folder of its own user, so a root runner looking at a
// desktop user's directory runs it as that user.
function setupc(serialDir, args) {
    const binary = path.join(process.env.CORRIVO_BIN_DIR || '', 'setupc');
    const options = {
        env: Object.assign({}, process.env, { CORRIVO_SERIAL_DIR: serialDir }),
        encoding: 'utf8',
        timeout: 30000,
    };
    const owner = fs.existsSync(serialDir) ? fs.statSync(serialDir) : null;
    if (owner !== null && process.getuid && process.getuid() === 0 && owner.uid !== 0) {
        options.uid = owner.uid;
        options.gid = owner.gid;
    }
    return execFileSync(binary, args, options);
}

// Pair numbers alive in serialDir.
function pairs(serialDir) {
    const numbers = new Set();
    for (const match of setupc(serialDir, ['list']).matchAll(/CNCA(\d+) PortName=/g))
        numbers.add(match[1]);
    return [...numbers];
}

function removePairs(serialDir) {
    for (const number of pairs(serialDir))
        setupc(serialDir, ['remove', number]);
}

module.exports = { pairs, removePairs };
