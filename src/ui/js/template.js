'use strict';

// Brings the pages' templates and scripts into the document; the application starts
// once every one of them is in.
var template = {
    elements: [
        '/pages/login/login.html',
        '/pages/login/loginPage.js',
        '/pages/domains/domains.html',
        '/pages/domains/deviceList.js',
        '/pages/domains/domainsPage.js',
        '/pages/domains/portMonitor.js',
        '/pages/domains/virtualSerialPorts.html'
    ],
    loaded: 0,
    container: null,

    count: function () {
        template.loaded++;
        if (template.loaded === template.elements.length)
            app.deviceReady();
    },

    load: function () {
        var include = document.querySelector('include');
        template.loaded = 0;
        template.elements.forEach(function (name) {
            if (/\.js$/.test(name)) {
                var script = document.createElement('script');
                script.src = name;
                // A script that fails to load is never counted: the splash screen stays.
                script.onload = template.count;
                include.appendChild(script);
                return;
            }
            if (template.container === null) {
                template.container = document.createElement('element');
                include.appendChild(template.container);
            }
            var request = new XMLHttpRequest();
            request.open('GET', name, false);
            try {
                request.send();
                template.container.insertAdjacentHTML('beforeend', request.responseText);
            } catch (error) {
                console.error('template: ' + name + ': ' + error);
            }
            template.count();
        });
    }
};
