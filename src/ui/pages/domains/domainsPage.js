'use strict';

// The domain list as far as the sign-in needs it: names and devices, shown as text.
// Opening groups, starting tunnels and the port view build on this page.
var domains = {
    list: [],

    showPage: function () {
        app.router.loadPage('domains', { variable: 'data' }, { list: domains.list });
    },

    vpn: {
        connecting: function () {},
        connected: function () {},
        disconnected: function () {}
    }
};

function domainsPage() {
    dom.show_sidebar();
    // The channel's copy of the property may lag a fresh sign-in by a moment: the
    // name just typed on the login page stands in until it arrives.
    var name = (HLV.auth && HLV.auth.username) || (typeof login !== 'undefined' ? login.username : '');
    $('.navbar .username').text(name || '');
    HLV.getDomainsJson(function (list) {
        domains.list = list || [];
        domains.showPage();
    });
}
