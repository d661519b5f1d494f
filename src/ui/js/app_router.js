'use strict';

var AppRouter = Backbone.Router.extend({
    routes: {
        'login': 'login',
        'domains': 'domains',
        '*other': 'other'
    },

    login: function () {
        loginPage();
    },

    domains: function () {
        domainsPage();
    },

    // Anything else, the start-up address included, opens the login route.
    other: function () {
        this.navigate('login', { trigger: true });
    },

    // Templates receive their data under the variable name the page gives, so that
    // Underscore need not use "with".
    loadPage: function (page, options, data) {
        var content = $('.page .content');
        content.empty();
        var compiled = _.template($('script#' + page).html(), options);
        content.html(data === undefined ? compiled() : compiled(data));
    }
});
