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
    if (HLV.auth)
        $('.navbar .username').text(HLV.auth.username || '');
    HLV.getDomainsJson(function (list) {
        domains.list = list || [];
        domains.showPage();
    });
}
