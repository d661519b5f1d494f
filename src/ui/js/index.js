'use strict';

var STATUS_CONNECTING = 2;
var STATUS_CONNECTED = 3;
var COLOR_RED = '#FF012E';
var COLOR_ORANGE = '#FF9C30';
var COLOR_GREEN = '#56F248';

// jQuery's slim build has no effects; the scroll-into-view plug-in (also inside
// Anno.js) only needs to set the scroll position, so it gets that without animation.
if (!$.fn.animate) {
    $.fn.animate = function (properties, options) {
        this.each(function () {
            var element = this;
            $.each(properties, function (name, value) {
                element[name] = value;
            });
        });
        if (options && typeof options.complete === 'function')
            options.complete.call(this[0]);
        return this;
    };
}
if (!$.fn.stop) {
    $.fn.stop = function () {
        return this;
    };
}

var app = {
    languages: ['en', 'it'],
    language: 'en',
    // The last VPN state the page was told of, for a page drawn after the event.
    vpnState: { name: 'disconnected', device: null },
    router: null,
    statsInterval: 3000,
    statsTimer: null,

    loadTemplate: function () {
        template.load();
    },

    // Runs once every page file is in the document.
    deviceReady: function () {
        HLV.getApplicationName(function (name) {
            $('.app-name .name').text(name);
        });
        HLV.getApplicationVersion(function (version) {
            $('.app-name .version').text('v' + version);
        });

        app.language = HLV.language || app.languages[0];
        i18next.init({
            debug: true,
            lng: app.language,
            // A stored language without a column of its own reads in the first language.
            fallbackLng: app.languages[0],
            initImmediate: false,
            resources: resources
        });
        app.translateMarked();
        $('.lang-text').text(app.languages[app.languageIndex(app.language)].toUpperCase());

        app.installLanguageSwitch();
        app.router = new AppRouter();
        try {
            Backbone.history.start({ pushState: true });
        } catch (error) {
            console.error(error);
        }

        $('body').on('click', '[data-input]', function () {
            $('input[name="' + $(this).attr('data-input') + '"]').focus();
        });

        dom.vpn.create_shield();
        $('#vpn-shield-container .power-button').on('click', app.togglePower);
        $(window).on('resize', dom.vpn.place_spinner);
        HLV_EVENTS.addListener(EVENT_VPN_CONNECTING, function (event) {
            app.vpnState = { name: 'connecting', device: event.detail.device };
            dom.vpn.connecting();
            app.pageCall('connecting', event.detail.device);
        });
        HLV_EVENTS.addListener(EVENT_VPN_CONNECTED, function (event) {
            app.vpnState = { name: 'connected', device: event.detail.device };
            dom.vpn.connected(event.detail.device);
            dom.vpn.show_dns(HLV_EVENTS.vpn.dnsFailure);
            app.pageCall('connected', event.detail.device);
        });
        HLV_EVENTS.addListener(EVENT_VPN_DNS_NOT_APPLIED, function (event) {
            if (app.vpnState && app.vpnState.name === 'connected')
                dom.vpn.show_dns(event.detail.reason);
        });
        HLV_EVENTS.addListener(EVENT_VPN_DISCONNECTED, function (event) {
            app.vpnState = { name: 'disconnected', device: null };
            dom.vpn.disconnected();
            dom.vpn.show_failure(event.detail ? event.detail.failure : null);
            app.pageCall('disconnected');
        });
        app.syncVpnState();

        app.statsTimer = setInterval(app.updateStats, app.statsInterval);

        var logout = document.querySelector('.logout');
        logout.addEventListener('click', function () {
            HLV.logout();
        });
        app.logoutTooltip = new Tooltip(logout, {
            placement: 'bottom',
            delay: 150,
            container: 'body',
            title: function () {
                return i18next.t('logout');
            },
            template: '<div class="tooltip show" role="tooltip"><div class="tooltip-arrow"></div>' +
                      '<div class="tooltip-inner"></div></div>'
        });
        HLV_EVENTS.addListener(EVENT_AUTH_LOGOUT, app.showLogin);
    },

    showLogin: function () {
        if (Backbone.history.getFragment() === 'login')
            loginPage();
        else
            app.router.navigate('login', { trigger: true });
    },

    // The tunnel may be up, or on its way, before this page listens: after a renderer
    // crash the new bridge brings the last device back at once. The status read here
    // stands in for the events missed, unless a newer signal arrives meanwhile (that
    // one then tells the truth through the usual path).
    syncVpnState: function () {
        if (!HLV.vpn || typeof HLV.vpn.getStatus !== 'function' || typeof HLV.vpn.getDeviceId !== 'function')
            return;
        var seen = HLV_EVENTS.vpn.signals;
        HLV.vpn.getStatus(function (status) {
            if (status !== STATUS_CONNECTED && status !== STATUS_CONNECTING)
                return;
            // The word on the tunnel's DNS settings, missed with the events.
            if (typeof HLV.vpn.getDnsFailure === 'function') {
                HLV.vpn.getDnsFailure(function (reason) {
                    if (reason && HLV_EVENTS.vpn.signals === seen)
                        HLV_EVENTS.vpn.dnsFailure = reason;
                });
            }
            HLV.vpn.getDeviceId(function (deviceId) {
                HLV.getDeviceByIdJson(deviceId, function (device) {
                    if (HLV_EVENTS.vpn.signals !== seen)
                        return;
                    var name = status === STATUS_CONNECTED ? EVENT_VPN_CONNECTED : EVENT_VPN_CONNECTING;
                    HLV_EVENTS.vpn.addEventToDispatch(new CustomEvent(name, { detail: { device: device } }), false);
                });
            });
        });
    },

    // The domains page follows the VPN events too, once it has been loaded.
    pageCall: function (name, device) {
        if (typeof domains !== 'undefined' && domains.vpn && typeof domains.vpn[name] === 'function')
            domains.vpn[name](device);
    },

    togglePower: function () {
        if (!HLV.vpn || typeof HLV.vpn.getStatus !== 'function')
            return;
        HLV.vpn.getStatus(function (status) {
            if (status === STATUS_CONNECTED) {
                HLV.stopVpn();
            } else {
                dom.vpn.connecting();
                HLV.startVpnLastDevice(false);
            }
        });
    },

    // Position of a language in the list; one that is not there counts as the first.
    languageIndex: function (language) {
        var index = app.languages.indexOf(String(language).toLowerCase());
        return index < 0 ? 0 : index;
    },

    installLanguageSwitch: function () {
        $('.language').on('click', function () {
            var container = $('.lang-container');
            var current = container.find('.lang-text').not('.translate-left');
            var next = app.languages[(app.languageIndex(app.language) + 1) % app.languages.length];
            container.append($('<span class="lang-text"></span>').text(next.toUpperCase()));
            app.changeLanguage(next);
            current.addClass('translate-left');
            setTimeout(function () {
                current.remove();
            }, 200);
        });
    },

    translateMarked: function () {
        $('[data-i18n]').each(function () {
            $(this).html(i18next.t($(this).attr('data-i18n')));
        });
        $('[data-i18n-placeholder]').each(function () {
            this.setAttribute('placeholder', i18next.t(this.getAttribute('data-i18n-placeholder')));
        });
    },

    // The table's texts as the browser writes them back, so that markup compares equal
    // whatever quoting the table used.
    normalised: function (text) {
        var probe = document.createElement('div');
        probe.innerHTML = text;
        return probe.innerHTML.trim();
    },

    table: function (language) {
        var column = resources[String(language).toLowerCase()];
        return (column || resources[app.languages[0]]).translation;
    },

    changeLanguage: function (language) {
        var oldTable = app.table(app.language);
        var newTable = app.table(language);
        app.language = language;
        HLV.setLanguage(language);
        i18next.changeLanguage(language);
        app.translateMarked();

        // Only texts of the table are replaced; names and numbers stay as they are.
        var keys = Object.keys(oldTable);
        var oldTexts = keys.map(function (key) {
            return app.normalised(oldTable[key]);
        });
        $('.main-container .to-translate, .anno-content, .anno-btn, .tooltip-inner').each(function () {
            var content = this.innerHTML.trim();
            for (var i = 0; i < keys.length; i++) {
                if (content === oldTexts[i] && newTable[keys[i]] !== undefined) {
                    this.innerHTML = newTable[keys[i]];
                    return;
                }
            }
        });
    },

    // One value as the counters show it: the number and its unit.
    scale: function (bytes) {
        var units = ['B', 'kB', 'MB', 'GB'];
        var value = Number(bytes) || 0;
        var unit = 0;
        while (unit < 3 && value >= 1024) {
            value = Number((value / 1024).toFixed(1));
            unit++;
        }
        return { value: String(value), unit: units[unit] };
    },

    showStats: function (selector, bytes) {
        var scaled = app.scale(bytes);
        app.statsField(selector, 'value').text(scaled.value);
        app.statsField(selector, 'unit').text(scaled.unit);
    },

    // The counters' fields, found once: a search of the whole document every 3 s
    // would walk every row of a list of thousands of devices.
    statsFields: {},

    statsField: function (selector, part) {
        var key = selector + ' .' + part;
        var field = app.statsFields[key];
        if (field === undefined || field.length === 0 || !field[0].isConnected) {
            field = $(key);
            app.statsFields[key] = field;
        }
        return field;
    },

    updateStats: function () {
        HLV.getVpnStatsJson(function (stats) {
            stats = stats || {};
            app.showStats('.stats-in', stats.bytesIn);
            app.showStats('.stats-out', stats.bytesOut);
        });
    }
};

var dom = {
    hide_sidebar: function () {
        $('.sidebar').addClass('hn');
        $('.vpn-status-row').addClass('hn');
    },

    show_sidebar: function () {
        $('.sidebar').removeClass('hn');
        $('.vpn-status-row').removeClass('hn');
    },

    vpn: {
        draw: null,
        shield: null,
        icons: [],
        spinner: null,
        SHIELD_PATH: 'M36.75 3 L65 13 L65 34 C65 52 53 64 36.75 70.5 C20.5 64 8.5 52 8.5 34 L8.5 13 Z',

        create_shield: function () {
            var vpn = dom.vpn;
            vpn.draw = SVG('vpn-shield-container').size(100, 100).viewbox(0, 0, 73.5, 73.5);
            vpn.draw.addClass('vpn-shield');
            vpn.shield = vpn.draw.path(vpn.SHIELD_PATH);
            vpn.disconnected();
        },

        clear_icons: function () {
            var vpn = dom.vpn;
            vpn.icons.forEach(function (icon) {
                icon.stop(true);
                icon.remove();
            });
            vpn.icons = [];
            if (vpn.spinner !== null) {
                vpn.spinner.remove();
                vpn.spinner = null;
            }
        },

        // A white stroke that grows from (x, y) by (dx, dy).
        stroke: function (x, y, dx, dy, duration, delay) {
            var line = dom.vpn.draw.path('M' + x + ' ' + y + ' l0 0')
                .fill('none')
                .stroke({ color: '#fff', width: 2, linecap: 'round' });
            line.animate(duration, '-', delay).plot('M' + x + ' ' + y + ' l' + dx + ' ' + dy);
            dom.vpn.icons.push(line);
            return line;
        },

        set_state: function (color, name, tipBorder) {
            dom.vpn.shield.fill(color);
            $('.vpn-status-row').removeClass('bg-red bg-orange bg-green').addClass('bg-' + name);
            $('.status-tip').removeClass('border-red border-orange border-green').addClass(tipBorder);
        },

        // A line under the status: the translated label and the native side's text
        // (also its tooltip), always as text. An empty text hides it.
        show_note: function (selector, labelKey, text) {
            var note = $(selector);
            if (!text) {
                note.attr('hidden', true).removeAttr('title').empty();
                return;
            }
            var label = $('<span class="label"></span>').attr('data-i18n', labelKey).html(i18next.t(labelKey));
            var shown = $('<span class="text"></span>').text(String(text));
            note.empty().append(label, ' ', shown).attr('title', String(text)).removeAttr('hidden');
        },

        // Why a start failed: the controller's sentence (it names the profile's line).
        // Any other state hides it.
        show_failure: function (failure) {
            dom.vpn.show_note('.status-reason', 'vpn_start_failed', failure);
        },

        // The tunnel is up but its DNS settings were not applied, with the helper's
        // reason. Shown while the tunnel is up.
        show_dns: function (reason) {
            dom.vpn.show_note('.status-dns', 'dns_not_applied', reason);
        },

        reset_stats: function () {
            app.showStats('.stats-in', 0);
            app.showStats('.stats-out', 0);
        },

        disconnected: function () {
            var vpn = dom.vpn;
            vpn.clear_icons();
            vpn.set_state(COLOR_RED, 'red', 'border-red');
            vpn.stroke(20, 18, 32.5, 32.5, 200, 0);
            vpn.stroke(52.5, 18, -32.5, 32.5, 200, 200);
            $('.power-button').removeClass('hn');
            $('.power-button .desc').addClass('to-translate').html(i18next.t('connect'));
            $('.status-desc').addClass('to-translate').html(i18next.t('not_connected'));
            $('.status-tip').addClass('to-translate').html(i18next.t('select_a_device'));
            vpn.show_dns(null);
        },

        connecting: function () {
            var vpn = dom.vpn;
            vpn.clear_icons();
            vpn.set_state(COLOR_ORANGE, 'orange', 'border-orange');
            vpn.spinner = vpn.draw.foreignObject(100, 100).attr({ id: 'fobj' });
            var loader = document.createElement('div');
            loader.className = 'shield loader';
            vpn.spinner.appendChild(loader);
            vpn.place_spinner();
            $('.power-button').addClass('hn');
            $('.status-desc').addClass('to-translate').html(i18next.t('not_connected'));
            $('.status-tip').addClass('to-translate').html(i18next.t('connecting_wait'));
            vpn.show_failure(null);
            vpn.show_dns(null);
            vpn.reset_stats();
        },

        // The device comes from the cloud: its name is shown as text, never as markup.
        connected: function (device) {
            var vpn = dom.vpn;
            vpn.clear_icons();
            vpn.set_state(COLOR_GREEN, 'green', 'border-green');
            vpn.stroke(55, 18, -22.5, 30.5, 300, 0);
            vpn.stroke(33, 48, -12, -10, 100, 300);
            $('.power-button').removeClass('hn');
            $('.power-button .desc').addClass('to-translate').html(i18next.t('disconnect'));
            $('.status-desc').addClass('to-translate').html(i18next.t('connected'));
            var name = device && device.length > 0 && device[0] ? device[0].name : '???';
            $('.status-tip').removeClass('to-translate').text(name);
            vpn.show_failure(null);
            vpn.reset_stats();
        },

        // Keeps the spinner 25 px left of the shield's left edge (and as far above its
        // top), whatever the window's size does to the canvas scale.
        place_spinner: function () {
            var vpn = dom.vpn;
            if (vpn.spinner === null)
                return;
            var canvas = vpn.draw.node.getBoundingClientRect();
            if (canvas.width === 0)
                return;
            var scale = canvas.width / 73.5;
            var box = vpn.shield.bbox();
            var side = box.width + 50 / scale;
            vpn.spinner.size(side, side).move(box.x - 25 / scale, box.cy - side / 2);
        }
    }
};

// Guided tours: each is shown at most once per page load, and the pages ask the
// bridge whether the user has already seen it.
var tour = {};

(function () {
    function button(kind) {
        if (kind === 'skip') {
            return {
                text: i18next.t('skip'),
                className: 'anno-btn-low-importance',
                click: function (anno) {
                    anno.hide();
                }
            };
        }
        if (kind === 'next') {
            return {
                text: i18next.t('next'),
                click: function (anno) {
                    anno.switchToChainNext();
                }
            };
        }
        return {
            text: i18next.t('done'),
            click: function (anno) {
                anno.hide();
            }
        };
    }

    function blockClicks(event) {
        event.stopPropagation();
        event.preventDefault();
    }

    // A step keeps clicks away from its target while it is shown.
    function step(owner, options, onShow, onHide) {
        var anno = {
            target: options.target,
            position: options.position,
            content: i18next.t(options.text),
            buttons: options.buttons.map(button),
            onShow: function (anno, $target) {
                $target.each(function () {
                    this.addEventListener('click', blockClicks, true);
                });
                owner.is_visible = true;
                if (onShow)
                    onShow();
            },
            onHide: function (anno, $target) {
                $target.each(function () {
                    this.removeEventListener('click', blockClicks, true);
                });
                owner.is_visible = false;
                if (onHide)
                    onHide();
            }
        };
        if (options.arrowPosition)
            anno.arrowPosition = options.arrowPosition;
        return anno;
    }

    function makeTour(build) {
        var t = {
            is_visible: false,
            to_show: true,
            anno: null,
            show: function () {
                if (!t.to_show)
                    return;
                t.to_show = false;
                setTimeout(function () {
                    t.anno = new Anno(build(t));
                    t.anno.show();
                }, 200);
            }
        };
        return t;
    }

    function portListStep(owner, text) {
        var container = '.virtual-serial-ports-container';
        return [step(owner, {
            target: container,
            position: { top: '115px', left: '121px' },
            arrowPosition: 'center-top',
            text: text,
            buttons: ['done']
        }, function () {
            $(container).addClass('no-transition');
        }, function () {
            $(container).removeClass('no-transition');
        })];
    }

    tour.step_1 = makeTour(function (owner) {
        return [
            step(owner, { target: '.sidebar .content', position: 'center-right', text: 'tour1_step1',
                          buttons: ['skip', 'next'] }),
            step(owner, { target: '#vpn-shield-container .power-button', position: 'center-right',
                          text: 'tour1_step2', buttons: ['skip', 'next'] }),
            step(owner, { target: '.page', position: 'center-left', text: 'tour1_step3',
                          buttons: ['skip', 'next'] }),
            step(owner, { target: '.row.device .icons', position: 'left', text: 'tour1_step4',
                          buttons: ['done'] }, function () {
                $('#domainsContainer').addClass('full-opacity');
                $('.device-container').first().addClass('no-position');
            }, function () {
                $('#domainsContainer').removeClass('full-opacity');
                $('.device-container').first().removeClass('no-position');
            })
        ];
    });

    tour.step_2 = makeTour(function (owner) {
        return portListStep(owner, 'tour2_step1');
    });

    tour.step_3 = makeTour(function (owner) {
        var container = '#serialVirtualPortPage .virtual-serial-ports-container';
        return [step(owner, { target: '#serialVirtualPortPage .form-container', position: 'center-top',
                              text: 'tour3_step1', buttons: ['done'] }, function () {
            $(container).addClass('allow-overflow');
        }, function () {
            $(container).removeClass('allow-overflow');
        })];
    });

    tour.step_4 = makeTour(function (owner) {
        return portListStep(owner, 'tour4_step1');
    });
})();

document.addEventListener('DOMContentLoaded', function () {
    new QWebChannel(qt.webChannelTransport, function (channel) {
        window.channel = channel;
        window.HLV = channel.objects.HLV;
        HLV_EVENTS.connectSignals(HLV);
        app.loadTemplate();
    });
});
