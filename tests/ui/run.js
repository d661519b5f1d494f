'use strict';

// UI test runner: node run.js <file.test.js> [name filter]. A test file exports an
// object mapping test names to async functions. Prints one line per test and the
// closing "N passed, N failed[, N skipped]" line; exits non-zero when anything failed
// or was skipped (a skipped test checked nothing: its reason says what is missing).

const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const harness = require('./harness');

async function main() {
    const file = process.argv[2];
    const filter = process.argv[3];
    if (!file) {
        console.error('usage: node run.js <file.test.js> [name filter]');
        process.exit(2);
    }
    const tests = require(path.resolve(file));
    let passed = 0;
    let failed = 0;
    let skipped = 0;
    for (const [name, test] of Object.entries(tests)) {
        if (filter && !name.includes(filter))
            continue;
        const started = Date.now();
        try {
            await test({ harness, assert });
            passed++;
            console.log(`PASS ${name} (${Date.now() - started} ms)`);
        } catch (error) {
            if (error instanceof harness.Skip) {
                skipped++;
                console.log(`SKIP ${name}: ${error.message.split('\n')[0]}`);
                continue;
            }
            failed++;
            console.log(`FAIL ${name}\n${error.stack || error}`);
        }
    }
    // Homes of this run are removed whatever the outcome.
    if (process.env.CORRIVO_UI_KEEP_HOMES !== '1' && process.env.HOME && process.env.HOME.includes('test-homes'))
        fs.rmSync(process.env.HOME, { recursive: true, force: true });
    console.log(`${passed} passed, ${failed} failed` + (skipped ? `, ${skipped} skipped` : ''));
    process.exit(failed === 0 && skipped === 0 && passed > 0 ? 0 : 1);
}

main().catch((error) => {
    console.error(error);
    process.exit(1);
});
