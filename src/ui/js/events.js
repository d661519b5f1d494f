'use strict';

var EVENT_API_KEY_GET_SUCCESS = 'HLV.api.api_key.get.success';
var EVENT_API_KEY_GET_ERROR = 'HLV.api.api_key.get.error';
var EVENT_AUTH_LOGIN_SUCCESS = 'HLV.auth.login.success';
var EVENT_AUTH_LOGIN_ERROR = 'HLV.auth.login.error';
var EVENT_AUTH_LOGOUT = 'HLV.auth.logout';
var EVENT_LOAD_DOMAINS_SUCCESS = 'HLV.domains.load.success';
var EVENT_LOAD_DOMAINS_ERROR = 'HLV.domains.load.error';
var EVENT_RELOAD_DOMAINS_SUCCESS = 'HLV.domains.reload.success';
var EVENT_RELOAD_DOMAINS_ERROR = 'HLV.domains.reload.error';
var EVENT_VPN_CONNECTING = 'HLV.vpn.connecting';
var EVENT_VPN_CONNECTED = 'HLV.vpn.connected';
var EVENT_VPN_DISCONNECTED = 'HLV.vpn.disconnected';
var EVENT_VPN_DNS_NOT_APPLIED = 'HLV.vpn.dns_not_applied';

// Native signals become DOM events on window, so pages listen without knowing the
// web channel.
var HLV_EVENTS = {
    dispatch: function (event) {
        window.dispatchEvent(event);
    },

    addListener: function (name, callback) {
        window.addEventListener(name, callback);
    },

    removeListener: function (name, callback) {
        window.removeEventListener(name, callback);
    },

    // The tunnel often reports several states in quick succession (a drop followed by
    // its cause); the pages only need the last one, so delayed events wait 200 ms and
    // a newer event replaces a waiting one.
    vpn: {
        eventToDispatch: null,
        timeout: null,
        timeoutValue: 200,
        // VPN signals received so far: tells a status read whether a newer signal is
        // on its way through the queue.
        signals: 0,
        // Why the latest start failed, as the controller said it; every disconnection
        // carries it until the tunnel is asked for again. (The controller's own
        // "disconnected" may reach the page after the failure it led to.)
        failure: null,
        // Why the tunnel's DNS settings were not applied to it, as the controller said;
        // kept while the tunnel lives (the word may come before "connected").
        dnsFailure: null,

        addEventToDispatch: function (event, withTimeout) {
            var queue = HLV_EVENTS.vpn;
            queue.eventToDispatch = event;
            if (queue.timeout !== null) {
                clearTimeout(queue.timeout);
                queue.timeout = null;
            }
            if (withTimeout) {
                queue.timeout = setTimeout(function () {
                    var pending = queue.eventToDispatch;
                    queue.timeout = null;
                    queue.eventToDispatch = null;
                    if (pending !== null)
                        HLV_EVENTS.dispatch(pending);
                }, queue.timeoutValue);
            } else {
                queue.eventToDispatch = null;
                HLV_EVENTS.dispatch(event);
            }
        }
    },

    // The handlers given to the channel's signals, kept so that the connection can be
    // reasoned about (and exercised) without the native side.
    handlers: {},

    connectSignals: function (hlv) {
        var handlers = HLV_EVENTS.handlers;

        function now(name, detail) {
            return function () {
                HLV_EVENTS.dispatch(new CustomEvent(name, { detail: detail ? detail.apply(null, arguments) : {} }));
            };
        }

        function vpnDisconnected(reason) {
            return function () {
                HLV_EVENTS.vpn.signals++;
                HLV_EVENTS.vpn.dnsFailure = null;
                HLV_EVENTS.vpn.addEventToDispatch(new CustomEvent(EVENT_VPN_DISCONNECTED, {
                    detail: { reason: reason, failure: HLV_EVENTS.vpn.failure }
                }), true);
            };
        }

        // The event waits for the device's record, so it enters the queue after any
        // signal that arrived in the meantime.
        function vpnWithDevice(name, withTimeout) {
            return function (deviceId) {
                HLV_EVENTS.vpn.signals++;
                HLV_EVENTS.vpn.failure = null;
                hlv.getDeviceByIdJson(deviceId, function (device) {
                    HLV_EVENTS.vpn.addEventToDispatch(
                        new CustomEvent(name, { detail: { device: device } }), withTimeout);
                });
            };
        }

        // Handlers are kept even for a group whose object is missing, so the path from
        // a signal to the pages can be exercised on its own.
        function connect(object, signal, handler) {
            handlers[signal] = handler;
            if (object && object[signal] && typeof object[signal].connect === 'function')
                object[signal].connect(handler);
        }

        function statusAndData(status, data) {
            return { status: status, data: data };
        }

        connect(hlv, 'onLoadDomainsSuccess', now(EVENT_LOAD_DOMAINS_SUCCESS));
        connect(hlv, 'onLoadDomainsError', now(EVENT_LOAD_DOMAINS_ERROR));
        connect(hlv, 'onReloadDomainsSuccess', now(EVENT_RELOAD_DOMAINS_SUCCESS));
        connect(hlv, 'onReloadDomainsError', now(EVENT_RELOAD_DOMAINS_ERROR));

        // A collaborator missing from the channel leaves only its own group unconnected.
        connect(hlv.api, 'onGetApiKeySuccess', now(EVENT_API_KEY_GET_SUCCESS, statusAndData));
        connect(hlv.api, 'onGetApiKeyError', now(EVENT_API_KEY_GET_ERROR, statusAndData));

        connect(hlv.auth, 'onLoginSuccess', now(EVENT_AUTH_LOGIN_SUCCESS));
        connect(hlv.auth, 'onLoginError', now(EVENT_AUTH_LOGIN_ERROR));
        connect(hlv.auth, 'onLogout', now(EVENT_AUTH_LOGOUT));

        var vpn = hlv.vpn && hlv.vpn.onConnecting ? hlv.vpn : null;
        connect(vpn, 'onConnecting', vpnWithDevice(EVENT_VPN_CONNECTING, false));
        connect(vpn, 'onConnected', vpnWithDevice(EVENT_VPN_CONNECTED, true));
        connect(vpn, 'onDisconnected', vpnDisconnected('onDisconnected'));
        connect(vpn, 'onOperationNotPermitted', vpnDisconnected('onOperationNotPermitted'));
        connect(vpn, 'onStartFailed', function (failure) {
            HLV_EVENTS.vpn.failure = failure;
        });
        connect(vpn, 'onDnsNotApplied', function (reason) {
            HLV_EVENTS.vpn.dnsFailure = reason;
            HLV_EVENTS.dispatch(new CustomEvent(EVENT_VPN_DNS_NOT_APPLIED, { detail: { reason: reason } }));
        });
        connect(vpn ? hlv : null, 'onVpnStartNotAuthenticated', vpnDisconnected('onVpnStartNotAuthenticated'));
        connect(vpn ? hlv : null, 'onVpnStartInvalidDomain', vpnDisconnected('onVpnStartInvalidDomain'));
        connect(vpn ? hlv : null, 'onVpnStartGetConfigError', vpnDisconnected('onVpnStartGetConfigError'));

        HLV_EVENTS.addListener(EVENT_API_KEY_GET_SUCCESS, function (event) {
            console.log(event.detail);
        });
    }
};
