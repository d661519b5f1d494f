'use strict';

// The device rows of the domains page, drawn only where the page's view is. Every
// group is as tall as all its rows would be and holds only the rows of the part in
// view (and a margin above and below), so the document carries a few dozen rows
// whatever the size of the fleet. On top of that: the search, the online filter,
// favourites and recent devices, and a keyboard cursor over the rows.
var deviceList = {
    // Every device row is this tall (styles.css fixes it there), so a row's place
    // follows from its index.
    ROW_HEIGHT: 41,
    // Drawn beyond the view, so that a scroll finds its rows already there.
    MARGIN_PX: 400,

    // One entry per domain, in page order: { domain, header, container, entries
    // (every device with its search text), shown (the devices the filters leave),
    // open (the user's choice), searchOpen (during a search), first, rows (the drawn
    // rows, from index first on) }.
    groups: [],
    page: null,
    template: null,
    // The drawn rows by device id (a string), several when the cloud lists one id twice.
    rowIndex: new Map(),
    // Device names that start a connection: those of rows online when drawn.
    connectingNames: new WeakSet(),
    // The online state by device id; a later record of an id wins, as on the rows.
    onlineById: new Map(),
    query: '',
    onlineOnly: false,
    // The tunnel's device and its state, for rows drawn after the event.
    highlight: null,
    // The keyboard's row: { group, index } in the shown devices.
    cursor: null,
    favourites: [],
    recents: [],
    frame: null,
    keysInstalled: false,

    // Builds the groups of a freshly rendered list.
    build: function (list) {
        var self = deviceList;
        self.page = document.querySelector('.page');
        self.template = _.template($('script#domainDeviceRow').html(), { variable: 'data' });
        self.rowIndex = new Map();
        self.connectingNames = new WeakSet();
        self.onlineById = new Map();
        self.query = '';
        self.onlineOnly = false;
        self.cursor = null;
        var containers = document.querySelectorAll('#domainsContainer > .domain-container');
        self.groups = Array.prototype.map.call(containers, function (element, i) {
            var domain = list[i];
            var entries = (domain.devices || []).map(function (device) {
                self.onlineById.set(String(device.id), device.vpn_status === 1);
                return {
                    device: device,
                    text: [device.name, device.id, domain.name].join('\n').toLowerCase(),
                    ports: ''
                };
            });
            var group = {
                domain: domain,
                element: element,
                header: element.querySelector('.domain'),
                container: element.querySelector('.device-container'),
                entries: entries,
                shown: entries.map(function (entry) {
                    return entry.device;
                }),
                open: false,
                searchOpen: false,
                first: 0,
                rows: []
            };
            group.container.classList.add('closed');
            deviceList.fitHeight(group);
            return group;
        });
        self.countOnline();
    },

    // A group's box is as tall as its shown rows; the no-devices line is one row.
    fitHeight: function (group) {
        var height = Math.max(group.shown.length, group.entries.length === 0 ? 1 : 0) * deviceList.ROW_HEIGHT;
        group.container.style.height = height + 'px';
        group.container.style.maxHeight = height + 'px';
    },

    groupOf: function (header) {
        for (var i = 0; i < deviceList.groups.length; i++) {
            if (deviceList.groups[i].header === header)
                return deviceList.groups[i];
        }
        return null;
    },

    searching: function () {
        return deviceList.query !== '';
    },

    isOpen: function (group) {
        return deviceList.searching() ? group.searchOpen : group.open;
    },

    // Opens or closes a group as the user asked (a header click); true when it opened.
    toggle: function (group) {
        var open = !deviceList.isOpen(group);
        if (deviceList.searching())
            group.searchOpen = open;
        else
            group.open = open;
        deviceList.showOpenState(group);
        deviceList.update();
        return open;
    },

    showOpenState: function (group) {
        var open = deviceList.isOpen(group);
        group.container.classList.toggle('closed', !open);
        group.header.querySelector('.icon-toggle').textContent = open ? 'arrow_drop_up' : 'arrow_drop_down';
    },

    // The rows follow the view at most once a frame.
    scheduleUpdate: function () {
        if (deviceList.frame !== null)
            return;
        deviceList.frame = requestAnimationFrame(function () {
            deviceList.frame = null;
            deviceList.update();
        });
    },

    // Draws the rows in view and lets the others go. All boxes are read before any row
    // changes: a group's height does not depend on its rows, so one layout serves all.
    update: function () {
        var self = deviceList;
        if (self.page === null || !self.page.isConnected || self.groups.length === 0 ||
            !self.groups[0].container.isConnected)
            return;
        var view = self.page.getBoundingClientRect();
        var top = view.top - self.MARGIN_PX;
        var bottom = view.bottom + self.MARGIN_PX;
        var height = self.ROW_HEIGHT;
        var ranges = self.groups.map(function (group) {
            var count = group.shown.length;
            if (count === 0 || group.element.hidden || !self.isOpen(group))
                return [0, 0];
            var boxTop = group.container.getBoundingClientRect().top;
            var first = Math.min(count, Math.max(0, Math.floor((top - boxTop) / height)));
            var end = Math.min(count, Math.max(0, Math.ceil((bottom - boxTop) / height)));
            return [first, Math.max(first, end)];
        });
        self.groups.forEach(function (group, i) {
            self.setRange(group, ranges[i][0], ranges[i][1]);
        });
    },

    setRange: function (group, first, end) {
        var last = group.first + group.rows.length;
        if (first === group.first && end === last)
            return;
        if (end <= group.first || first >= last || first === end) {
            group.rows.forEach(deviceList.dropRow);
            group.rows = [];
            group.first = first;
            group.rows = deviceList.drawRows(group, first, end, 'beforeend');
        } else {
            while (group.first < first) {
                deviceList.dropRow(group.rows.shift());
                group.first++;
            }
            while (group.first + group.rows.length > end)
                deviceList.dropRow(group.rows.pop());
            if (first < group.first) {
                group.rows = deviceList.drawRows(group, first, group.first, 'afterbegin').concat(group.rows);
                group.first = first;
            }
            var drawnEnd = group.first + group.rows.length;
            if (end > drawnEnd)
                group.rows = group.rows.concat(deviceList.drawRows(group, drawnEnd, end, 'beforeend'));
        }
        group.container.style.paddingTop = (group.first * deviceList.ROW_HEIGHT) + 'px';
    },

    // Rows first to end (not included) of the group's shown devices, new in the document.
    drawRows: function (group, first, end, where) {
        if (end <= first)
            return [];
        var html = '';
        for (var i = first; i < end; i++) {
            var device = group.shown[i];
            html += deviceList.template({
                device: device,
                last: i === group.shown.length - 1,
                online: deviceList.isOnline(device.id),
                vpn: group.domain.vpn_enable === 1,
                favourite: deviceList.isFavourite(device.id)
            }).trim();
        }
        var container = group.container;
        container.insertAdjacentHTML(where, html);
        var rows = [];
        var row = where === 'afterbegin' ? container.firstElementChild : container.children[container.children.length - (end - first)];
        for (var j = first; j < end; j++, row = row.nextElementSibling) {
            rows.push(row);
            deviceList.adoptRow(row, group, j);
        }
        return rows;
    },

    adoptRow: function (row, group, index) {
        var id = row.getAttribute('data-id');
        var same = deviceList.rowIndex.get(id);
        if (same === undefined)
            deviceList.rowIndex.set(id, [row]);
        else
            same.push(row);
        if (!row.classList.contains('offline'))
            deviceList.connectingNames.add(row.querySelector('.name'));
        var highlight = deviceList.highlight;
        if (highlight !== null && highlight.id === id)
            domains.showHighlight($(row), highlight.state);
        var cursor = deviceList.cursor;
        if (cursor !== null && deviceList.groups[cursor.group] === group && cursor.index === index)
            row.classList.add('cursor');
    },

    dropRow: function (row) {
        var id = row.getAttribute('data-id');
        var same = deviceList.rowIndex.get(id) || [];
        var rest = same.filter(function (other) {
            return other !== row;
        });
        if (rest.length === 0)
            deviceList.rowIndex.delete(id);
        else
            deviceList.rowIndex.set(id, rest);
        domains.disposeTooltipsIn(row);
        row.remove();
    },

    // Every drawn row goes; the next update draws the view again.
    dropAllRows: function () {
        deviceList.groups.forEach(function (group) {
            group.rows.forEach(deviceList.dropRow);
            group.rows = [];
            group.first = 0;
        });
    },

    rowsOf: function (device_id) {
        return deviceList.rowIndex.get(String(device_id)) || [];
    },

    isOnline: function (device_id) {
        return deviceList.onlineById.get(String(device_id)) === true;
    },

    // The search and the online filter, applied to every group. A new search text
    // opens the groups it matches in; the user's own open groups come back after it.
    applyFilter: function (query, onlineOnly) {
        var self = deviceList;
        var text = String(query).trim().toLowerCase();
        var newText = text !== self.query;
        self.query = text;
        self.onlineOnly = onlineOnly === true;
        var filtering = text !== '' || self.onlineOnly;
        var matches = 0;
        self.groups.forEach(function (group) {
            group.shown = [];
            group.entries.forEach(function (entry) {
                if ((text === '' || entry.text.indexOf(text) >= 0 || entry.ports.indexOf(text) >= 0) &&
                    (!self.onlineOnly || self.isOnline(entry.device.id)))
                    group.shown.push(entry.device);
            });
            matches += group.shown.length;
            if (newText)
                group.searchOpen = group.shown.length > 0;
            group.element.hidden = filtering && group.shown.length === 0;
            group.header.querySelector('.match-count').textContent = filtering ? String(group.shown.length) : '';
            self.fitHeight(group);
            self.showOpenState(group);
        });
        $('#deviceFinder .no-matches').toggleClass('hn', !filtering || matches > 0);
        self.dropAllRows();
        self.cursor = null;
        if (text !== '')
            self.cursor = self.step(null, 1);
        self.update();
    },

    PORT_TYPE_TEXTS: ['rs_232_a', 'rs_232_b', 'rs_485', 'usb'],

    // The names of the user's virtual ports (and of the interfaces they serve) become
    // part of their devices' search text. Ports change in the port view, so they are
    // asked for again whenever the search is about to be used.
    loadPortNames: function () {
        if (typeof HLV.getVirtualSerialPortNamesJson !== 'function')
            return;
        HLV.getVirtualSerialPortNamesJson(function (ports) {
            var names = new Map();
            (Array.isArray(ports) ? ports : []).forEach(function (port) {
                var id = String(port.deviceId);
                var type = deviceList.PORT_TYPE_TEXTS[port.type];
                var text = String(port.serialName || '') + '\n' + (type ? i18next.t(type) : '');
                names.set(id, (names.has(id) ? names.get(id) + '\n' : '') + text.toLowerCase());
            });
            deviceList.groups.forEach(function (group) {
                group.entries.forEach(function (entry) {
                    entry.ports = names.get(String(entry.device.id)) || '';
                });
            });
            if (deviceList.searching())
                deviceList.applyFilter(deviceList.query, deviceList.onlineOnly);
        });
    },

    countOnline: function () {
        var count = 0;
        deviceList.groups.forEach(function (group) {
            group.entries.forEach(function (entry) {
                if (deviceList.isOnline(entry.device.id))
                    count++;
            });
        });
        $('#deviceFinder .online-count').text(String(count));
        return count;
    },

    // A reload's devices: their online state, the count, and the filtered rows when
    // only online devices are shown. Rows in view change only where their mark does.
    onlineChanged: function (list) {
        list.forEach(function (domain) {
            (domain.devices || []).forEach(function (device) {
                deviceList.onlineById.set(String(device.id), device.vpn_status === 1);
            });
        });
        deviceList.countOnline();
        deviceList.showQuickDevices();
        if (deviceList.onlineOnly)
            deviceList.applyFilter(deviceList.query, true);
    },

    // The keyboard cursor.

    // The position `direction` (1 or -1) rows on from `from` among the rows of open
    // groups, or the first (last) such row when from is null; null at the ends.
    step: function (from, direction) {
        var groups = deviceList.groups;
        var g = from === null ? (direction > 0 ? 0 : groups.length - 1) : from.group;
        var index = from === null ? (direction > 0 ? -1 : Infinity) : from.index;
        for (; g >= 0 && g < groups.length; g += direction, index = direction > 0 ? -1 : Infinity) {
            var group = groups[g];
            if (group.element.hidden || !deviceList.isOpen(group) || group.shown.length === 0)
                continue;
            var next = Math.min(index, group.shown.length) + direction;
            if (next >= 0 && next < group.shown.length)
                return { group: g, index: next };
        }
        return null;
    },

    // A cursor in a group closed meanwhile starts again from the top (or bottom).
    moveCursor: function (direction) {
        var from = deviceList.cursor;
        if (from !== null) {
            var group = deviceList.groups[from.group];
            if (group.element.hidden || !deviceList.isOpen(group) || from.index >= group.shown.length)
                from = null;
        }
        var next = deviceList.step(from, direction);
        if (next === null)
            return;
        deviceList.setCursor(next);
    },

    setCursor: function (position) {
        $('#domainsContainer .device.cursor').removeClass('cursor');
        deviceList.cursor = position;
        if (position === null)
            return;
        var row = deviceList.scrollTo(deviceList.groups[position.group], position.index);
        if (row !== null)
            row.classList.add('cursor');
    },

    // The drawn row at that index of a group, after scrolling it into view.
    scrollTo: function (group, index) {
        var height = deviceList.ROW_HEIGHT;
        var view = deviceList.page.getBoundingClientRect();
        var rowTop = group.container.getBoundingClientRect().top + index * height;
        if (rowTop < view.top)
            deviceList.page.scrollTop -= view.top - rowTop;
        else if (rowTop + height > view.bottom)
            deviceList.page.scrollTop += rowTop + height - view.bottom;
        deviceList.update();
        var offset = index - group.first;
        return offset >= 0 && offset < group.rows.length ? group.rows[offset] : null;
    },

    // Opens the group of a shown device (at once, without the animation), scrolls its
    // row into view and puts the cursor on it; the row, or null when no shown group
    // holds the device. Every group that holds it opens, so all its rows are there.
    reveal: function (device_id) {
        var found = null;
        deviceList.groups.forEach(function (group, g) {
            var index = -1;
            for (var i = 0; i < group.shown.length; i++) {
                // eslint-disable-next-line eqeqeq
                if (group.shown[i].id == device_id) {
                    index = i;
                    break;
                }
            }
            if (index < 0)
                return;
            if (!deviceList.isOpen(group)) {
                group.container.style.transition = 'none';
                if (deviceList.searching())
                    group.searchOpen = true;
                else
                    group.open = true;
                deviceList.showOpenState(group);
                group.container.getBoundingClientRect();
                group.container.style.transition = '';
            }
            if (found === null)
                found = { group: g, index: index };
        });
        if (found === null)
            return null;
        deviceList.setCursor(found);
        var group = deviceList.groups[found.group];
        return group.rows[found.index - group.first] || null;
    },

    cursorRow: function () {
        var cursor = deviceList.cursor;
        if (cursor === null)
            return null;
        var group = deviceList.groups[cursor.group];
        return deviceList.scrollTo(group, cursor.index);
    },

    // Ctrl+F and "/" go to the search; arrows move the cursor, Enter connects its
    // device (as its connect icon does), Esc clears the search. Keys typed into other
    // fields, or while the port view is shown, are theirs.
    installKeys: function () {
        if (deviceList.keysInstalled)
            return;
        deviceList.keysInstalled = true;
        document.addEventListener('keydown', function (event) {
            var search = document.querySelector('#deviceFinder .device-search');
            if (search === null || $('.page').hasClass('slided'))
                return;
            var target = event.target;
            var inSearch = target === search;
            var inField = !inSearch && target.closest && target.closest('input, select, textarea, button') !== null;
            if ((event.key === 'f' && event.ctrlKey) || (event.key === '/' && !inSearch && !inField)) {
                event.preventDefault();
                search.focus();
                search.select();
            } else if (inField) {
                return;
            } else if (event.key === 'ArrowDown' || event.key === 'ArrowUp') {
                event.preventDefault();
                deviceList.moveCursor(event.key === 'ArrowDown' ? 1 : -1);
            } else if (event.key === 'Enter') {
                var row = deviceList.cursorRow();
                if (row !== null && row.querySelector('.connect') !== null && !row.classList.contains('offline')) {
                    event.preventDefault();
                    domains.connect($(row));
                }
            } else if (event.key === 'Escape' && search.value !== '') {
                event.preventDefault();
                search.value = '';
                deviceList.applyFilter('', deviceList.onlineOnly);
            }
        });
    },

    installFinder: function () {
        var finder = document.getElementById('deviceFinder');
        var search = finder.querySelector('.device-search');
        var online = finder.querySelector('.online-only');
        search.addEventListener('focus', deviceList.loadPortNames);
        search.addEventListener('input', function () {
            deviceList.applyFilter(search.value, online.checked);
        });
        online.addEventListener('change', function () {
            deviceList.applyFilter(search.value, online.checked);
        });
        // A chip shows its device, after clearing the filters that hide it.
        finder.addEventListener('click', function (event) {
            var chip = event.target.closest('.quick-device');
            if (chip === null || deviceList.reveal(chip.getAttribute('data-id')) !== null)
                return;
            search.value = '';
            online.checked = false;
            deviceList.applyFilter('', false);
            deviceList.reveal(chip.getAttribute('data-id'));
        });
        deviceList.page.addEventListener('scroll', deviceList.scheduleUpdate, { passive: true });
        window.addEventListener('resize', deviceList.scheduleUpdate);
        // A group that has finished opening or closing moved the groups below it.
        document.getElementById('domainsContainer').addEventListener('transitionend', function (event) {
            if (event.propertyName === 'max-height')
                deviceList.scheduleUpdate();
        });
        deviceList.installKeys();
    },

    // Favourites and recent devices, as the bridge keeps them for the user.

    isFavourite: function (device_id) {
        return deviceList.favourites.indexOf(Number(device_id)) >= 0;
    },

    loadQuickDevices: function () {
        if (typeof HLV.getFavouriteDevices !== 'function')
            return;
        HLV.getFavouriteDevices(function (ids) {
            deviceList.setFavourites(ids);
        });
        HLV.getRecentDevices(function (ids) {
            deviceList.setRecents(ids);
        });
    },

    setFavourites: function (ids) {
        deviceList.favourites = Array.isArray(ids) ? ids.map(Number) : [];
        deviceList.rowIndex.forEach(function (rows, id) {
            var on = deviceList.isFavourite(id);
            rows.forEach(function (row) {
                var star = row.querySelector('.favourite');
                star.classList.toggle('on', on);
                star.textContent = on ? 'star' : 'star_border';
            });
        });
        deviceList.showQuickDevices();
    },

    setRecents: function (ids) {
        deviceList.recents = Array.isArray(ids) ? ids.map(Number) : [];
        deviceList.showQuickDevices();
    },

    toggleFavourite: function (device_id) {
        HLV.setFavouriteDevice(Number(device_id), !deviceList.isFavourite(device_id), deviceList.setFavourites);
    },

    // A device the user connected to or opened.
    noteRecent: function (device_id) {
        if (typeof HLV.addRecentDevice === 'function')
            HLV.addRecentDevice(Number(device_id), deviceList.setRecents);
    },

    // The two short lists above the groups; devices no longer listed are left out.
    showQuickDevices: function () {
        [['.favourites', deviceList.favourites], ['.recents', deviceList.recents]].forEach(function (pair) {
            var line = $('#deviceFinder .quick-row' + pair[0]);
            var chips = line.find('.quick-list').empty();
            pair[1].forEach(function (id) {
                var device = domains.getDeviceByDeviceId(id);
                if (device === null)
                    return;
                chips.append($('<span class="quick-device"></span>')
                    .attr('data-id', String(device.id))
                    .toggleClass('offline', !deviceList.isOnline(device.id))
                    .text(device.name));
            });
            line.toggleClass('hn', chips.children().length === 0);
        });
    }
};
