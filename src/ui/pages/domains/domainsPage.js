'use strict';

// The domains route: the user's domains as collapsible groups of devices, the connect
// and web actions, and the virtual serial port view of a device sliding over the list.
var domains = {
    list: [],
    tooltips: [],
    reloadListener: null,
    // The bridge's revision of the domain list the online marks follow.
    revision: -1,
    OVERLAY_DELAY_MS: 500,
    // Built once per list, so that a lookup does not walk thousands of devices: the
    // devices of `list` by id. (The drawn rows are indexed in deviceList.js.)
    deviceIndex: null,
    indexedList: null,

    // Loose comparison on purpose: ids arrive as numbers from the bridge and as
    // strings from data attributes. A number and a string compare as numbers, which
    // the index keyed by number does too.
    getDeviceByDeviceId: function (device_id) {
        if (domains.indexedList !== domains.list) {
            domains.indexedList = domains.list;
            domains.deviceIndex = new Map();
            domains.list.forEach(function (domain) {
                (domain.devices || []).forEach(function (device) {
                    // Only the bridge's ids, which are numbers; a list with others is
                    // walked as a whole.
                    if (domains.deviceIndex === null || typeof device.id !== 'number' || isNaN(device.id))
                        domains.deviceIndex = null;
                    else if (!domains.deviceIndex.has(device.id))
                        domains.deviceIndex.set(device.id, device);
                });
            });
        }
        if (domains.deviceIndex === null || (typeof device_id !== 'number' && typeof device_id !== 'string'))
            return domains.walkForDevice(device_id);
        var device = domains.deviceIndex.get(Number(device_id));
        return device === undefined ? null : device;
    },

    walkForDevice: function (device_id) {
        for (var i = 0; i < domains.list.length; i++) {
            var devices = domains.list[i].devices || [];
            for (var j = 0; j < devices.length; j++) {
                // eslint-disable-next-line eqeqeq
                if (devices[j].id == device_id)
                    return devices[j];
            }
        }
        return null;
    },

    // The drawn device rows of the list (not the port view's header) with that id, as
    // a jQuery collection; several when the cloud listed one id twice, none when the
    // row is out of view.
    deviceRow: function (device_id) {
        return $(domains.rowsOf(device_id));
    },

    rowsOf: function (device_id) {
        var container = document.getElementById('domainsContainer');
        return container === null ? [] : deviceList.rowsOf(device_id);
    },

    removeHighlights: function () {
        deviceList.highlight = null;
        var rows = $('#domainsContainer .device.bg-orange, #domainsContainer .device.bg-green');
        rows.removeClass('bg-orange bg-green');
        rows.find('.spinner-vpn').removeClass('loader').empty();
        rows.find('.connect').removeClass('hn');
    },

    // The tunnel's state on the device's rows, kept for rows drawn later.
    highlight: function (device_id, state) {
        deviceList.highlight = { id: String(device_id), state: state };
        domains.showHighlight(domains.deviceRow(device_id), state);
    },

    showHighlight: function (row, state) {
        if (state === 'connecting') {
            row.addClass('bg-orange');
            row.find('.spinner-vpn').addClass('loader');
        } else {
            row.addClass('bg-green');
            row.find('.spinner-vpn').append($('<img class="shield-icon" alt="">').attr('src', '/img/shield_white.svg'));
        }
        row.find('.connect').addClass('hn');
    },

    // The first element of a VPN event's device array, when there is one.
    eventDeviceId: function (device) {
        if (!device || device.length === 0 || !device[0])
            return null;
        return device[0].id;
    },

    addTooltip: function (element, title) {
        var tooltip = new Tooltip(element, {
            placement: 'left',
            delay: 150,
            container: 'body',
            title: title,
            template: '<div class="tooltip show" role="tooltip"><div class="tooltip-arrow"></div>' +
                      '<div class="tooltip-inner"></div></div>'
        });
        domains.tooltips.push(tooltip);
        return tooltip;
    },

    disposeTooltips: function () {
        domains.tooltips.forEach(function (tooltip) {
            tooltip.dispose();
        });
        domains.tooltips = [];
        domains.tooltipOf = new WeakMap();
    },

    // The tooltips of a row that leaves the document go with it.
    disposeTooltipsIn: function (row) {
        row.querySelectorAll('.connect, .web-ui').forEach(function (icon) {
            var tooltip = domains.tooltipOf.get(icon);
            if (tooltip === undefined)
                return;
            tooltip.dispose();
            domains.tooltipOf.delete(icon);
            domains.tooltips = domains.tooltips.filter(function (other) {
                return other !== tooltip;
            });
        });
    },

    tooltipOf: new WeakMap(),

    // An icon gets its tooltip when the pointer first comes over it: thousands of rows
    // would otherwise each hold live tooltips and their listeners. The browser reports
    // "mouseover" before "mouseenter", so the new tooltip sees the entry that made it.
    tooltipForIcon: function (icon) {
        if (domains.tooltipOf.has(icon))
            return;
        var title;
        if (icon.classList.contains('connect')) {
            title = function () {
                return i18next.t('start_vpn');
            };
        } else {
            var device = domains.getDeviceByDeviceId(icon.closest('.device').getAttribute('data-id'));
            var address = 'http://' + (device && device.vpn_ip ? device.vpn_ip : '');
            title = function () {
                return i18next.t('open_web_ui') + ' (' + address + ')';
            };
        }
        domains.tooltipOf.set(icon, domains.addTooltip(icon, title));
    },

    // Clicks and pointer entries of every row, heard once on the list: the star marks
    // a favourite; a connect icon or the name of a row online when drawn connects; the
    // web and settings icons act on their row's device.
    installRowHandlers: function (container) {
        container.addEventListener('click', function (event) {
            var target = event.target;
            var row = target.closest('.device');
            if (row === null || !container.contains(row))
                return;
            var name = target.closest('.name');
            if (target.closest('.favourite') !== null) {
                deviceList.toggleFavourite(row.getAttribute('data-id'));
            } else if (target.closest('.connect') !== null || (name !== null && deviceList.connectingNames.has(name))) {
                domains.connect($(row));
            } else if (target.closest('.web-ui') !== null) {
                deviceList.noteRecent(row.getAttribute('data-id'));
                HLV.openDeviceWebUI(parseInt(row.getAttribute('data-id'), 10));
            } else if (target.closest('.settings') !== null) {
                var device = domains.getDeviceByDeviceId(row.getAttribute('data-id'));
                if (device === null)
                    return;
                deviceList.noteRecent(device.id);
                domains.showVirtualSerialPortsPage(device, function () {
                    $('.page').addClass('slided');
                });
            }
        });
        container.addEventListener('mouseover', function (event) {
            var icon = event.target.closest('.connect, .web-ui');
            if (icon !== null && container.contains(icon))
                domains.tooltipForIcon(icon);
        });
    },

    toggleGroup: function (header) {
        var group = deviceList.groupOf(header[0]);
        if (group !== null && deviceList.toggle(group))
            HLV.setLastDomainIdOpened(parseInt(header.attr('data-id'), 10));
    },

    connect: function (row) {
        var id = parseInt(row.attr('data-id'), 10);
        domains.removeHighlights();
        deviceList.highlight = { id: String(id), state: 'connecting' };
        domains.showHighlight(row, 'connecting');
        dom.vpn.connecting();
        deviceList.noteRecent(id);
        HLV.startVpnDevice(id);
    },

    showPage: function () {
        domains.disposeTooltips();
        app.router.loadPage('domains', { variable: 'data' }, { list: domains.list });
        var container = document.getElementById('domainsContainer');
        // All groups start closed; the one opened last opens below.
        deviceList.build(domains.list);
        deviceList.installFinder();
        deviceList.loadQuickDevices();

        // Whether the tunnel comes back after the machine slept (a setting of the user's).
        var reconnect = document.querySelector('#domainsOptions .reconnect-after-sleep');
        if (reconnect && typeof HLV.getReconnectAfterSleep === 'function') {
            HLV.getReconnectAfterSleep(function (on) {
                reconnect.checked = on;
            });
            reconnect.addEventListener('change', function () {
                HLV.setReconnectAfterSleep(reconnect.checked);
            });
        }

        $('#domainsContainer .domain').each(function () {
            var header = $(this);
            this.addEventListener('click', function () {
                domains.toggleGroup(header);
            }, true);
        });

        HLV.getLastDomainIdOpened(function (domainId) {
            var headers = $('#domainsContainer .domain');
            var header = headers.filter(function () {
                // eslint-disable-next-line eqeqeq
                return $(this).attr('data-id') == domainId;
            }).first();
            if (header.length === 0)
                header = headers.first();
            if (header.length > 0)
                header[0].click();
        });

        domains.installRowHandlers(container);

        domains.installPortViewHandlers();

        if (domains.reloadListener !== null)
            HLV_EVENTS.removeListener(EVENT_RELOAD_DOMAINS_SUCCESS, domains.reloadListener);
        // Only the domains that changed since the list drawn (or the last reload) cross
        // the channel: a reload that changed nothing sends none.
        domains.reloadListener = function () {
            HLV.getDomainsJsonChangedSince(domains.revision, function (text) {
                var changes = domains.parseChanges(text);
                if (changes === null)
                    return;
                domains.revision = changes.revision;
                domains.on_domains_reloaded(changes.domains);
            });
        };
        HLV_EVENTS.addListener(EVENT_RELOAD_DOMAINS_SUCCESS, domains.reloadListener);

        // A tunnel that came up (or started) before the list was drawn.
        if (app.vpnState.name === 'connecting' || app.vpnState.name === 'connected')
            domains.vpn[app.vpnState.name](app.vpnState.device);

        HLV.tour1IsNeeded(function (needed) {
            if (needed) {
                tour.step_1.show();
                HLV.tour1IsNotNeeded();
            }
        });
    },

    // The answer of getDomainsJsonChangedSince(), or null when it is not one.
    parseChanges: function (text) {
        var changes;
        try {
            changes = JSON.parse(text);
        } catch (e) {
            return null;
        }
        if (!changes || typeof changes.revision !== 'number' || !Array.isArray(changes.domains))
            return null;
        return changes;
    },

    // Only the online marks (and what depends on them: the online count and filter)
    // follow a reload; everything else stays as rendered. Drawn rows are found through
    // the index and touched only where their mark changes.
    on_domains_reloaded: function (list) {
        list.forEach(function (domain) {
            (domain.devices || []).forEach(function (device) {
                var rows = domains.rowsOf(device.id);
                for (var i = 0; i < rows.length; i++)
                    domains.markOnline(rows[i], device.vpn_status === 1);
            });
        });
        deviceList.onlineChanged(list);
    },

    markOnline: function (row, online) {
        ['bg-grey', 'offline'].forEach(function (mark) {
            if (row.classList.contains(mark) === online)
                row.classList.toggle(mark, !online);
        });
    },

    vpn: {
        connecting: function (device) {
            domains.removeHighlights();
            var id = domains.eventDeviceId(device);
            if (id !== null)
                domains.highlight(id, 'connecting');
        },

        connected: function (device) {
            domains.removeHighlights();
            var id = domains.eventDeviceId(device);
            if (id !== null)
                domains.highlight(id, 'connected');
        },

        disconnected: function () {
            domains.removeHighlights();
        }
    },

    // The port view.

    portPage: function () {
        return $('#serialVirtualPortPage');
    },

    setOverlay: function (shown) {
        domains.portPage().find('.form-overlay').toggleClass('hn', !shown);
    },

    showVirtualSerialPortsPage: function (device, callback) {
        var page = domains.portPage();
        var header = page.children('.device');
        header.find('.name').text(device.name);
        header.attr('data-id', device.id);

        HLV.getVirtualSerialPortsByDeviceIdJson(device.id, function (ports) {
            ports = ports || [];
            var container = page.find('.virtual-serial-ports-container');
            var compiled = _.template($('script#virtualSerialPortsTemplate').html(), { variable: 'data' });
            container.children('.ports-column').html(compiled({ ports: ports }));
            container.removeClass('closed');

            container.find('.icon-create-new').on('click', function () {
                page.find('.form-container').removeClass('closed');
                HLV.tour3IsNeeded(function (needed) {
                    if (needed) {
                        tour.step_3.show();
                        HLV.tour3IsNotNeeded();
                    }
                });
            });

            if (ports.length === 0) {
                HLV.tour2IsNeeded(function (needed) {
                    if (needed) {
                        tour.step_2.show();
                        HLV.tour2IsNotNeeded();
                    }
                });
            }

            // Only the interfaces without a port are offered.
            var options = page.find('select[name="type"] option');
            options.prop('disabled', false).prop('selected', false)
                .removeAttr('disabled').removeAttr('selected');
            ports.forEach(function (port) {
                options.filter('[value="' + Number(port.type) + '"]').prop('disabled', true).attr('disabled', 'disabled');
            });
            var free = options.not(':disabled');
            if (free.length === 0) {
                container.find('.create-new').addClass('hn');
                page.find('.form-container').addClass('closed');
            } else {
                free.first().prop('selected', true).attr('selected', 'selected');
                page.find('select[name="type"]').val(free.first().val());
                container.find('.create-new').removeClass('hn');
            }

            container.find('.remove').on('click', domains.removeVirtualSerialPort);
            portMonitor.attach(device.id, container);

            if (typeof callback === 'function')
                callback();
        });
    },

    // Shows the list of the device in the header again after a change.
    refreshPortView: function (callback) {
        var device = domains.getDeviceByDeviceId(domains.portPage().children('.device').attr('data-id'));
        if (device === null) {
            domains.setOverlay(false);
            return;
        }
        domains.showVirtualSerialPortsPage(device, callback);
    },

    removeVirtualSerialPort: function (event) {
        var row = $(event.currentTarget).closest('.virtual-serial-port');
        domains.setOverlay(true);
        setTimeout(function () {
            var deviceId = parseInt(domains.portPage().children('.device').attr('data-id'), 10);
            var type = parseInt(row.attr('data-type'), 10);
            HLV.destroyVirtualSerialPort(deviceId, type, function () {
                domains.refreshPortView(function () {
                    domains.setOverlay(false);
                });
            });
        }, domains.OVERLAY_DELAY_MS);
    },

    installPortViewHandlers: function () {
        var page = domains.portPage();
        page.find('.icon-back').on('click', function () {
            portMonitor.detach();
            $('.page').removeClass('slided');
            page.find('.virtual-serial-ports-container').addClass('closed');
            page.find('.form-container').addClass('closed');
        });

        page.find('.button-cancel').on('click', function () {
            page.find('.form-container').addClass('closed');
        });

        page.find('.button-create').on('click', function () {
            domains.setOverlay(true);
            setTimeout(function () {
                var deviceId = parseInt(page.children('.device').attr('data-id'), 10);
                var type = parseInt(page.find('select[name="type"]').val(), 10);
                HLV.create(type, deviceId, function (created) {
                    domains.refreshPortView(function () {
                        domains.setOverlay(false);
                        if (created === true) {
                            HLV.tour4IsNeeded(function (needed) {
                                if (needed) {
                                    tour.step_4.show();
                                    HLV.tour4IsNotNeeded();
                                }
                            });
                        }
                    });
                });
            }, domains.OVERLAY_DELAY_MS);
        });
    }
};

function domainsPage() {
    dom.show_sidebar();
    $('.page').removeClass('slided');
    // The channel's copy of the property may lag a fresh sign-in by a moment: the
    // name just typed on the login page stands in until it arrives.
    var name = (HLV.auth && HLV.auth.username) || (typeof login !== 'undefined' ? login.username : '');
    $('.navbar .username').text(name || '');
    // The whole list, as text with its revision (see the reload listener).
    HLV.getDomainsJsonChangedSince(-1, function (text) {
        var changes = domains.parseChanges(text);
        domains.list = changes === null ? [] : changes.domains;
        domains.revision = changes === null ? -1 : changes.revision;
        domains.showPage();
    });
}
