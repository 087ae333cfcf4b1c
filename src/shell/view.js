// The `view` object: the pages' way to the program's native commands.
//
// `await view.Name(a, b)` sends one call over the page connection and resolves to
// the command's one result; it rejects with an Error whose message starts with
// "not handled:" when no command has exactly that name and argument count. The
// program calls the page's global functions (window.top[name], else the first
// same-origin frame that defines it) and gets back their result or their error.
//
// The launch secret comes in the first page's URL fragment (#t=...); it is kept in
// sessionStorage so that a document this tab navigates to later still connects, and
// it is the connection's first message. A
// document in a same-origin frame uses the top window's `view`.
(function () {
    'use strict';
    if (window.view) return;
    try {
        if (window.top !== window && window.top.view) {
            window.view = window.top.view;
            return;
        }
    } catch (e) {
        // The top window is not ours: connect on our own.
    }

    var KEY = 'merravine.secret';
    var fromUrl = new URLSearchParams(location.hash.slice(1)).get('t');
    var secret = fromUrl || sessionStorage.getItem(KEY) || '';
    if (fromUrl) sessionStorage.setItem(KEY, fromUrl);

    // The secret is the connection's first message, never part of a request line.
    var socket = new WebSocket('ws://' + location.host + '/ws');
    socket.addEventListener('open', function () { socket.send(secret); });
    var waiting = new Map();
    var nextId = 1;
    var closed = false;
    var ready = new Promise(function (resolve, reject) {
        socket.addEventListener('open', resolve);
        socket.addEventListener('close', function () { reject(new Error('not connected')); });
    });
    ready.catch(function () {});

    // A script value on the wire: 32-bit integers, strings, arrays; true/false as 1/0;
    // null/undefined as null; anything else by its text form.
    function toWire(value) {
        if (value === undefined || value === null) return null;
        if (typeof value === 'boolean') return value ? 1 : 0;
        if (typeof value === 'string') return value;
        if (typeof value === 'number') {
            if (Number.isInteger(value) && value >= -2147483648 && value <= 2147483647) return value;
            return { other: String(value) };
        }
        if (Array.isArray(value)) {
            var items = new Array(value.length);
            for (var i = 0; i < value.length; i++) items[i] = toWire(value[i]);
            return items;
        }
        try {
            return { other: String(value) };
        } catch (e) {
            return { other: '[object]' };
        }
    }

    function send(message) {
        if (socket.readyState !== WebSocket.OPEN) throw new Error('not connected');
        socket.send(JSON.stringify(message));
    }

    // An array argument longer than this travels in pieces of this many items, each its
    // own message, ahead of the call that carries the rest; the program joins them, so
    // millions of rows need no one giant message.
    var PIECE_ITEMS = 5000;

    function sendCall(id, name, args) {
        var wire = new Array(args.length);
        for (var a = 0; a < args.length; a++) {
            var value = args[a];
            if (!Array.isArray(value) || value.length <= PIECE_ITEMS) {
                wire[a] = toWire(value);
                continue;
            }
            var rest = value.length - (value.length % PIECE_ITEMS || PIECE_ITEMS);
            for (var start = 0; start < rest; start += PIECE_ITEMS) {
                send({ part: id, arg: a, items: value.slice(start, start + PIECE_ITEMS).map(toWire) });
            }
            wire[a] = value.slice(rest).map(toWire);
        }
        send({ call: id, name: name, args: wire });
    }

    function call(name, args) {
        return ready.then(function () {
            if (closed) throw new Error('not connected');
            var id = nextId++;
            return new Promise(function (resolve, reject) {
                waiting.set(id, { resolve: resolve, reject: reject });
                try {
                    sendCall(id, name, args);
                } catch (e) {
                    waiting.delete(id);
                    reject(e);
                }
            });
        });
    }

    // The page function that answers a native call: the top window's, else the first
    // same-origin frame (depth first) that defines it.
    function findFunction(name) {
        function look(win) {
            try {
                if (typeof win[name] === 'function') return { owner: win, fn: win[name] };
            } catch (e) {
                return null;  // a frame of another origin
            }
            for (var i = 0; i < win.frames.length; i++) {
                var found = look(win.frames[i]);
                if (found) return found;
            }
            return null;
        }
        return look(window);
    }

    async function answer(message) {
        var reply = { reply: message.call };
        try {
            var target = findFunction(message.fn);
            if (!target) throw new Error('no page function ' + message.fn);
            var result = await target.fn.call(target.owner, message.arg);
            reply.result = toWire(result);
        } catch (e) {
            reply.error = String(e && e.message !== undefined ? e.message : e);
        }
        try {
            send(reply);
        } catch (e) {
            // The connection is gone; the native caller has been told already.
        }
    }

    socket.addEventListener('message', function (event) {
        var message = JSON.parse(event.data);
        if ('fn' in message) {
            answer(message);
            return;
        }
        var entry = waiting.get(message.reply);
        if (!entry) return;
        waiting.delete(message.reply);
        if ('error' in message) entry.reject(new Error(message.error));
        else entry.resolve(message.result);
    });

    socket.addEventListener('close', function () {
        closed = true;
        waiting.forEach(function (entry) { entry.reject(new Error('not connected: the connection was closed')); });
        waiting.clear();
    });

    window.view = new Proxy({}, {
        get: function (target, name) {
            // Not a command: keeps `await view` and string conversions sane.
            if (typeof name !== 'string' || name === 'then' || name === 'toJSON') return undefined;
            return function () { return call(name, Array.prototype.slice.call(arguments)); };
        }
    });
})();
