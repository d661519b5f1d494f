'use strict';

// The domains route: the user's domains as collapsible groups of devices, the connect
// and web actions, and the virtual serial port view of a device sliding over the list.
var domains = {
    list: [],
    tooltips: [],
    reloadListener: null,
    OVERLAY_DELAY_MS: 500,

    // Loose comparison on purpose: ids arrive as numbers from the bridge and as
    // strings from data attributes.
    getDeviceByDeviceId: function (device_id) {
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

    // The device row of the list (not the port view's header) with that id.
    deviceRow: function (device_id) {
        return $('#domainsContainer .device').filter(function () {
            // eslint-disable-next-line eqeqeq
            return $(this).attr('data-id') == device_id;
        });
    },

    removeHighlights: function () {
        var rows = $('#domainsContainer .device.bg-orange, #domainsContainer .device.bg-green');
        rows.removeClass('bg-orange bg-green');
        rows.find('.spinner-vpn').removeClass('loader').empty();
        rows.find('.connect').removeClass('hn');
    },

    highlightConnecting: function (row) {
        row.addClass('bg-orange');
        row.find('.spinner-vpn').addClass('loader');
        row.find('.connect').addClass('hn');
    },

    // The first element of a VPN event's device array, when there is one.
    eventDeviceId: function (device) {
        if (!device || device.length === 0 || !device[0])
            return null;
        return device[0].id;
    },

    addTooltip: function (element, title) {
        domains.tooltips.push(new Tooltip(element, {
            placement: 'left',
            delay: 150,
            container: 'body',
            title: title,
            template: '<div class="tooltip show" role="tooltip"><div class="tooltip-arrow"></div>' +
                      '<div class="tooltip-inner"></div></div>'
        }));
    },

    disposeTooltips: function () {
        domains.tooltips.forEach(function (tooltip) {
            tooltip.dispose();
        });
        domains.tooltips = [];
    },

    toggleGroup: function (header) {
        var container = header.next('.device-container');
        var toggle = header.find('.icon-toggle');
        if (container.hasClass('closed')) {
            container.removeClass('closed');
            toggle.text('arrow_drop_up');
            HLV.setLastDomainIdOpened(parseInt(header.attr('data-id'), 10));
        } else {
            container.addClass('closed');
            toggle.text('arrow_drop_down');
        }
    },

    connect: function (row) {
        domains.removeHighlights();
        domains.highlightConnecting(row);
        dom.vpn.connecting();
        HLV.startVpnDevice(parseInt(row.attr('data-id'), 10));
    },

    showPage: function () {
        domains.disposeTooltips();
        app.router.loadPage('domains', { variable: 'data' }, { list: domains.list });

        // Groups collapse to zero and open to the height they were rendered with.
        $('#domainsContainer .device-container').each(function () {
            $(this).css('max-height', $(this).outerHeight() + 'px').addClass('closed');
        });

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

        $('#domainsContainer .connect').each(function () {
            domains.addTooltip(this, function () {
                return i18next.t('start_vpn');
            });
        });

        var connectTargets = $('#domainsContainer .connect')
            .add($('#domainsContainer .device').not('.no-devices, .offline').find('.name'));
        connectTargets.on('click', function () {
            domains.connect($(this).closest('.device'));
        });

        $('#domainsContainer .web-ui').each(function () {
            var row = $(this).closest('.device');
            this.addEventListener('click', function () {
                HLV.openDeviceWebUI(parseInt(row.attr('data-id'), 10));
            });
            var device = domains.getDeviceByDeviceId(row.attr('data-id'));
            var address = 'http://' + (device && device.vpn_ip ? device.vpn_ip : '');
            domains.addTooltip(this, function () {
                return i18next.t('open_web_ui') + ' (' + address + ')';
            });
        });

        $('#domainsContainer .settings').on('click', function () {
            var device = domains.getDeviceByDeviceId($(this).closest('.device').attr('data-id'));
            if (device === null)
                return;
            domains.showVirtualSerialPortsPage(device, function () {
                $('.page').addClass('slided');
            });
        });

        domains.installPortViewHandlers();

        if (domains.reloadListener !== null)
            HLV_EVENTS.removeListener(EVENT_RELOAD_DOMAINS_SUCCESS, domains.reloadListener);
        domains.reloadListener = function () {
            HLV.getDomainsJson(function (list) {
                domains.on_domains_reloaded(list || []);
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

    // Only the online marks follow a reload; everything else stays as rendered.
    on_domains_reloaded: function (list) {
        list.forEach(function (domain) {
            (domain.devices || []).forEach(function (device) {
                var row = domains.deviceRow(device.id);
                if (row.length === 0)
                    return;
                if (device.vpn_status === 1)
                    row.removeClass('bg-grey offline');
                else
                    row.addClass('bg-grey offline');
            });
        });
    },

    vpn: {
        connecting: function (device) {
            domains.removeHighlights();
            var id = domains.eventDeviceId(device);
            if (id !== null)
                domains.highlightConnecting(domains.deviceRow(id));
        },

        connected: function (device) {
            domains.removeHighlights();
            var id = domains.eventDeviceId(device);
            if (id === null)
                return;
            var row = domains.deviceRow(id);
            row.addClass('bg-green');
            row.find('.spinner-vpn').append($('<img class="shield-icon" alt="">').attr('src', '/img/shield_white.svg'));
            row.find('.connect').addClass('hn');
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
    HLV.getDomainsJson(function (list) {
        domains.list = list || [];
        domains.showPage();
    });
}
