'use strict';

// The live part of the port view: for each port of the shown device the bytes each way
// and the relay's state, asked from the bridge every second while the view is open,
// and per port a monitor (the last bytes each way, as hex and text, with time and
// direction) and a trace switch. The bridge keeps the counters, the records and the
// switches; the page only asks and shows. The port list itself is drawn by
// domains.showVirtualSerialPortsPage, which hands its container here.
var portMonitor = {
    POLL_MS: 1000,
    // Rows kept in a monitor view; the bridge keeps a few hundred records per port.
    MAX_ROWS: 300,

    deviceId: null,
    container: null,
    timer: null,
    // Per port type shown with its monitor open: the sequence number to ask from.
    next: {},

    attach: function (deviceId, container) {
        portMonitor.detach();
        portMonitor.deviceId = deviceId;
        portMonitor.container = container;
        portMonitor.next = {};
        container.find('.monitor-toggle').on('change', function (event) {
            portMonitor.switchMonitor(portMonitor.typeOf(event.currentTarget), event.currentTarget.checked);
        });
        container.find('.trace-toggle').on('change', function (event) {
            portMonitor.switchTrace(portMonitor.typeOf(event.currentTarget), event.currentTarget);
        });
        portMonitor.poll();
        portMonitor.timer = setInterval(portMonitor.poll, portMonitor.POLL_MS);
    },

    detach: function () {
        if (portMonitor.timer !== null)
            clearInterval(portMonitor.timer);
        portMonitor.timer = null;
        portMonitor.deviceId = null;
        portMonitor.container = null;
        portMonitor.next = {};
    },

    typeOf: function (element) {
        return parseInt($(element).closest('[data-type]').attr('data-type'), 10);
    },

    details: function (type) {
        return portMonitor.container.find('.port-details[data-type="' + Number(type) + '"]');
    },

    view: function (type) {
        return portMonitor.container.find('.port-monitor[data-type="' + Number(type) + '"]');
    },

    // An answer that arrives after the view moved on to another device is dropped.
    current: function (deviceId) {
        return portMonitor.container !== null && portMonitor.deviceId === deviceId;
    },

    poll: function () {
        var deviceId = portMonitor.deviceId;
        if (deviceId === null)
            return;
        HLV.getVirtualSerialPortsStatusJson(deviceId, function (ports) {
            if (!portMonitor.current(deviceId) || !Array.isArray(ports))
                return;
            ports.forEach(function (port) {
                portMonitor.showStatus(port);
            });
        });
        Object.keys(portMonitor.next).forEach(function (type) {
            portMonitor.fetchRecords(deviceId, parseInt(type, 10));
        });
    },

    showStatus: function (port) {
        var type = Number(port.type);
        var row = portMonitor.details(type);
        var state = String(port.state || 'idle');
        row.find('.relay-state').attr('data-state', state).text(i18next.t('relay_' + state));
        row.find('.bytes-to-network').text(portMonitor.formatCount(port.toNetwork));
        row.find('.bytes-from-network').text(portMonitor.formatCount(port.fromNetwork));
        row.find('.monitor-toggle').prop('checked', port.monitor === true);
        row.find('.trace-toggle').prop('checked', port.trace === true);
        portMonitor.view(type).find('.trace-path').text(port.trace === true ? String(port.tracePath || '') : '');
        if (port.monitor === true && !(type in portMonitor.next))
            portMonitor.openView(type);
        else if (port.monitor !== true && type in portMonitor.next)
            portMonitor.closeView(type);
    },

    formatCount: function (value) {
        var number = Number(value);
        return isFinite(number) && number >= 0 ? number.toLocaleString() : '0';
    },

    switchMonitor: function (type, on) {
        var deviceId = portMonitor.deviceId;
        HLV.setVirtualSerialPortMonitor(deviceId, type, on, function (done) {
            if (!portMonitor.current(deviceId))
                return;
            if (done === true && on)
                portMonitor.openView(type);
            else
                portMonitor.closeView(type);
            portMonitor.details(type).find('.monitor-toggle').prop('checked', done === true && on);
        });
    },

    switchTrace: function (type, checkbox) {
        var deviceId = portMonitor.deviceId;
        var on = checkbox.checked;
        HLV.setVirtualSerialPortTrace(deviceId, type, on, function (done) {
            if (!portMonitor.current(deviceId))
                return;
            if (done !== true && on) {
                $(checkbox).prop('checked', false);
                portMonitor.view(type).find('.trace-path').text(i18next.t('trace_failed'));
                portMonitor.view(type).removeClass('hn');
            }
        });
    },

    openView: function (type) {
        var view = portMonitor.view(type);
        view.find('.monitor-record').remove();
        view.find('.monitor-empty').removeClass('hn');
        view.removeClass('hn');
        portMonitor.next[type] = 0;
        portMonitor.fetchRecords(portMonitor.deviceId, type);
    },

    closeView: function (type) {
        delete portMonitor.next[type];
        portMonitor.view(type).addClass('hn');
    },

    fetchRecords: function (deviceId, type) {
        if (!(type in portMonitor.next))
            return;
        HLV.getVirtualSerialPortMonitorJson(deviceId, type, portMonitor.next[type], function (answer) {
            if (!portMonitor.current(deviceId) || !(type in portMonitor.next) || answer === null
                || typeof answer !== 'object' || !Array.isArray(answer.records))
                return;
            var next = Number(answer.next);
            // Answers to overlapping polls: only one that moves on is shown.
            if (!isFinite(next) || next < portMonitor.next[type])
                return;
            portMonitor.next[type] = next;
            portMonitor.showRecords(type, answer);
        });
    },

    showRecords: function (type, answer) {
        var view = portMonitor.view(type);
        var list = view.find('.monitor-records');
        var dropped = Number(answer.dropped);
        view.find('.monitor-dropped').toggleClass('hn', !(dropped > 0));
        view.find('.dropped-bytes').text(portMonitor.formatCount(dropped));
        if (answer.records.length === 0)
            return;
        view.find('.monitor-empty').addClass('hn');
        var atBottom = list[0].scrollTop + list[0].clientHeight >= list[0].scrollHeight - 4;
        answer.records.forEach(function (record) {
            list.append(portMonitor.recordRow(record));
        });
        var rows = list.children('.monitor-record');
        if (rows.length > portMonitor.MAX_ROWS)
            rows.slice(0, rows.length - portMonitor.MAX_ROWS).remove();
        if (atBottom)
            list[0].scrollTop = list[0].scrollHeight;
    },

    // Everything in a record came from the relay: it goes in as text only.
    recordRow: function (record) {
        var toNetwork = record.dir === '>';
        var row = $('<div class="monitor-record"></div>').addClass(toNetwork ? 'to-network' : 'from-network');
        $('<span class="time"></span>').text(portMonitor.formatTime(record.time)).appendTo(row);
        $('<span class="direction"></span>').text(toNetwork ? '\u2192' : '\u2190')
            .attr('title', i18next.t(toNetwork ? 'to_device' : 'from_device')).appendTo(row);
        $('<span class="hex"></span>').text(String(record.hex || '')).appendTo(row);
        $('<span class="text"></span>').text(String(record.text || '')).appendTo(row);
        return row;
    },

    formatTime: function (milliseconds) {
        var date = new Date(Number(milliseconds));
        if (isNaN(date.getTime()))
            return '';
        var pad = function (value, width) {
            return String(value).padStart(width, '0');
        };
        return pad(date.getHours(), 2) + ':' + pad(date.getMinutes(), 2) + ':' + pad(date.getSeconds(), 2) + '.'
            + pad(date.getMilliseconds(), 3);
    }
};
