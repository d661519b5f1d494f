'use strict';

var KEY_ENTER = 13;
var SPLASH_DELAY = 650;
var ROOT_CHECK_DELAY = 500;

// Validation and sign-in messages come from the text table only.
function showFeedback(key) {
    $('.form-row-feedback').addClass('bg-red').html(i18next.t(key));
}

function clearFeedback() {
    $('.form-row-feedback').removeClass('bg-red');
}

function showOverlay(shown) {
    $('.form-overlay').toggleClass('hn', !shown);
}

var login = {
    username: '',

    showPage: function () {
        HLV_EVENTS.addListener(EVENT_AUTH_LOGIN_SUCCESS, login.on_login_success);
        HLV_EVENTS.addListener(EVENT_AUTH_LOGIN_ERROR, login.on_login_error);
        HLV_EVENTS.addListener(EVENT_LOAD_DOMAINS_SUCCESS, login.on_domains_loaded);

        app.router.loadPage('login', { variable: 'data' });
        $('#loginContainer input[name="username"]').focus();
        clearFeedback();
        showOverlay(false);
        // Once the form is on screen, a line on the console (written out only where the
        // "js" logging category is on): the start-up benchmark waits for it.
        requestAnimationFrame(function () {
            console.info('corrivo: login form shown');
        });

        $('#loginContainer .login').on('click', function () {
            clearFeedback();
            // Taken as typed: a password may well begin or end with a blank.
            var username = $('#loginContainer input[name="username"]').val();
            var password = $('#loginContainer input[name="password"]').val();
            if (username === '') {
                showFeedback('empty_username');
            } else if (password === '') {
                showFeedback('empty_password');
            } else {
                login.username = username;
                showOverlay(true);
                HLV.auth.login(username, password);
            }
        });
        $('#loginContainer .forgot-password').on('click', function () {
            HLV.forgotPassword();
        });
        $('#loginContainer').on('keyup', function (event) {
            if (event.keyCode === KEY_ENTER)
                $('#loginContainer .login').click();
        });

        if (!HLV.auth || typeof HLV.auth.isAuthenticated !== 'function') {
            $('.logout').addClass('hn');
            return;
        }
        HLV.auth.isAuthenticated(function (authenticated) {
            HLV.auth.isTryLogin(function (tryLogin) {
                if (tryLogin) {
                    showOverlay(true);
                    $('.logout').removeClass('hn');
                } else if (authenticated) {
                    showOverlay(true);
                    $('.logout').removeClass('hn');
                    HLV.loadDomains();
                } else {
                    $('.logout').addClass('hn');
                }
            });
        });
    },

    on_login_success: function () {
        showOverlay(false);
        HLV_EVENTS.removeListener(EVENT_AUTH_LOGIN_SUCCESS, login.on_login_success);
        HLV_EVENTS.removeListener(EVENT_AUTH_LOGIN_ERROR, login.on_login_error);
        // The name the user typed: shown as text, never as markup.
        $('.navbar .username').text(login.username);
        $('.logout').removeClass('hn');
        HLV.loadDomains();
    },

    on_login_error: function () {
        showOverlay(false);
        showFeedback('wrong_credentials');
    },

    on_domains_loaded: function () {
        HLV_EVENTS.removeListener(EVENT_AUTH_LOGIN_SUCCESS, login.on_login_success);
        HLV_EVENTS.removeListener(EVENT_AUTH_LOGIN_ERROR, login.on_login_error);
        HLV_EVENTS.removeListener(EVENT_LOAD_DOMAINS_SUCCESS, login.on_domains_loaded);
        app.router.navigate('domains', { trigger: true });
    }
};

var root = {
    showPage: function (withErrorMessage) {
        app.router.loadPage('root', { variable: 'data' });
        $('#rootContainer input[name="password"]').focus();
        clearFeedback();
        showOverlay(false);
        root.showProblem();
        $('#rootContainer').on('keyup', function (event) {
            if (event.keyCode === KEY_ENTER)
                $('#rootContainer .login').click();
        });

        if (withErrorMessage) {
            $('.root-permissions-error-message').removeClass('hn');
            $('.root-permissions-form').addClass('hn');
            $('#rootContainer .login').on('click', function () {
                HLV.kill();
            });
            return;
        }

        $('.root-permissions-error-message').addClass('hn');
        $('.root-permissions-form').removeClass('hn');
        $('#rootContainer .login').on('click', function () {
            clearFeedback();
            var password = $('#rootContainer input[name="password"]').val();
            if (password === '') {
                showFeedback('empty_password');
                return;
            }
            showOverlay(true);
            setTimeout(function () {
                HLV.checkRootPermissionsWithPassword(password, function (right) {
                    if (right) {
                        // The overlay stays until the relaunched instance replaces this one.
                        HLV.restartAsRoot(password);
                    } else {
                        showOverlay(false);
                        showFeedback('wrong_root_password');
                    }
                });
            }, ROOT_CHECK_DELAY);
        });
    },

    // Why the rights are missing (the helper's answer, or that it does not run), in the
    // bridge's words: shown as text, never as markup.
    showProblem: function () {
        if (typeof HLV.rightsProblem !== 'function')
            return;
        HLV.rightsProblem(function (problem) {
            $('#rootContainer .root-permissions-problem').text(problem || '').toggleClass('hn', !problem);
        });
    }
};

function loginPage() {
    dom.hide_sidebar();
    $('.navbar .username').text('');
    $('.logout').addClass('hn');

    HLV.checkRootPermissions(function (rights) {
        setTimeout(function () {
            $('.splash-screen').addClass('hn');
            if (rights) {
                login.showPage();
                return;
            }
            HLV.canObtainRootPermissions(function (canObtain) {
                root.showPage(!canObtain);
            });
        }, SPLASH_DELAY);
    });
}
