'use strict';

// Connects to the bridge and shows who we are.
new QWebChannel(qt.webChannelTransport, function (channel) {
    window.HLV = channel.objects.HLV;
    HLV.getApplicationName(function (name) {
        document.getElementById('application-name').textContent = name;
    });
    HLV.getApplicationVersion(function (version) {
        document.getElementById('application-version').textContent = 'v' + version;
    });
});
