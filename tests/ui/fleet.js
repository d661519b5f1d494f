'use strict';

// A fleet of thousands of devices for the cloud simulator, shared by the UI tests of
// large lists and the fleet benchmark (bench/fleet).

const DEVICES_PER_DOMAIN = 25;
const USER = 'fleet';
const PASSWORD = 'fleet-secret';

// Domains of 25 devices; every fifth device offline, types mixed so that each row kind
// (connect, web, settings icons) is drawn.
function fixture(deviceCount) {
    const domains = [];
    const domainCount = Math.ceil(deviceCount / DEVICES_PER_DOMAIN);
    let id = 100000;
    for (let d = 0; d < domainCount; d++) {
        const domainId = 1000 + d;
        const devices = [];
        for (let i = 0; i < DEVICES_PER_DOMAIN && id - 100000 < deviceCount; i++, id++) {
            devices.push({
                id,
                name: `Device ${id} of site ${d}`,
                type: [1, 3, 5, 6][i % 4],
                domain_id: domainId,
                data_delivery_enable: 1,
                remote_access_enable: 1,
                vpn_status: i % 5 === 4 ? 0 : 1,
                vpn_ip: `10.${Math.floor(d / 250) + 8}.${d % 250}.${i + 2}`,
                api_key: `key-${id}`,
            });
        }
        domains.push({ id: domainId, name: `Site ${d}`, vpn_enable: d % 7 === 6 ? 0 : 1, devices });
    }
    return { key_lifetime: 36000, users: [{ username: USER, password: PASSWORD }], domains };
}

// Flips the online state of every hundredth device (at least one); returns the ids.
function flipOnePercent(world, round) {
    const all = world.domains.flatMap((domain) => domain.devices);
    const count = Math.max(1, Math.round(all.length / 100));
    const step = Math.floor(all.length / count);
    const flipped = [];
    for (let i = 0; i < count; i++) {
        const device = all[(i * step + round) % all.length];
        device.vpn_status = device.vpn_status === 1 ? 0 : 1;
        flipped.push({ id: device.id, online: device.vpn_status === 1 });
    }
    return flipped;
}

module.exports = { fixture, flipOnePercent, DEVICES_PER_DOMAIN, USER, PASSWORD };
