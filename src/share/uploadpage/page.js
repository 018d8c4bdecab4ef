'use strict';
// Sends each chosen or dropped file as a resumable upload: created empty, then appended from the
// offset the receiver holds, so that a broken connection or a reload goes on where it stopped.
// Without this script the form is posted as multipart/form-data.
(function () {
    const form = document.getElementById('form');
    if (!form || !window.XMLHttpRequest)
        return;
    const english = document.documentElement.lang === 'en';
    const texts = english ? {
        sending: (name) => `Sending ${name}`,
        sent: (name, size, sha) => `Sent ${name}: ${size} bytes, SHA-256 ${sha}`,
        waiting: (name, seconds) => `${name}: no connection, trying again in ${seconds} s`,
        failed: (name, reason) => `${name} was not sent: ${reason}`,
        bytes: 'bytes',
    } : {
        sending: (name) => `${name} を送っています`,
        sent: (name, size, sha) => `${name} を送りました: ${size} バイト、SHA-256 ${sha}`,
        waiting: (name, seconds) => `${name}: つながりません。${seconds} 秒後にもう一度試します`,
        failed: (name, reason) => `${name} を送れませんでした: ${reason}`,
        bytes: 'バイト',
    };
    const input = document.getElementById('files');
    const list = document.getElementById('list');
    const status = document.getElementById('status');
    const drop = document.getElementById('drop');
    const action = form.getAttribute('action');
    let storage = null;
    try {
        storage = window.localStorage || window.sessionStorage;
    } catch (e) {
        storage = null;
    }
    let queue = Promise.resolve();

    drop.hidden = false;
    input.required = false;
    form.addEventListener('submit', (event) => {
        event.preventDefault();
        sendAll(Array.from(input.files));
        input.value = '';
    });
    document.addEventListener('dragover', (event) => {
        event.preventDefault();
        document.body.classList.add('dragging');
    });
    document.addEventListener('dragleave', () => document.body.classList.remove('dragging'));
    document.addEventListener('drop', (event) => {
        event.preventDefault();
        document.body.classList.remove('dragging');
        sendAll(Array.from(event.dataTransfer.files));
    });

    function announce(text) {
        status.textContent = text;
    }

    function sendAll(files) {
        for (const file of files)
            queue = queue.then(() => send(file));
    }

    // The same file (name, size, time) after a reload continues the same upload.
    function keyOf(file) {
        return `upload ${action} ${file.size} ${file.lastModified} ${file.name}`;
    }

    function remember(file, url) {
        try {
            if (storage && url)
                storage.setItem(keyOf(file), url);
            else if (storage)
                storage.removeItem(keyOf(file));
        } catch (e) {
            // Private windows may refuse storage: the upload still runs, only a reload starts anew.
        }
    }

    function recalled(file) {
        try {
            return storage ? storage.getItem(keyOf(file)) : null;
        } catch (e) {
            return null;
        }
    }

    function row(file) {
        const item = document.createElement('li');
        const name = document.createElement('div');
        name.id = `file-${list.children.length + 1}`;
        name.textContent = file.name;
        const progress = document.createElement('progress');
        progress.max = Math.max(file.size, 1);
        progress.value = 0;
        progress.setAttribute('aria-labelledby', name.id);
        const result = document.createElement('div');
        result.className = 'result';
        item.append(name, progress, result);
        list.append(item);
        return {progress, result};
    }

    // The iteration of the resumable uploads draft this page speaks (draft 12).
    const interopVersion = '8';

    // A network that went away without a word (a dropped Wi-Fi, a sleeping receiver) leaves a
    // request hanging for many minutes: one that sends nothing for this long is given up and
    // resumed like a broken one.
    const quietMs = 20000;

    // Resolves with the finished request, rejects on a network failure.
    function request(method, url, headers, body, onProgress) {
        return new Promise((resolve, reject) => {
            const xhr = new XMLHttpRequest();
            xhr.open(method, url);
            xhr.setRequestHeader('Upload-Draft-Interop-Version', interopVersion);
            for (const [name, value] of Object.entries(headers))
                xhr.setRequestHeader(name, value);
            let quiet = null;
            const watch = () => {
                clearTimeout(quiet);
                quiet = setTimeout(() => xhr.abort(), quietMs);
            };
            if (body) {
                // Only while the body goes out: the answer to a large file may take long to come.
                xhr.upload.onloadstart = watch;
                xhr.upload.onprogress = (event) => {
                    watch();
                    if (onProgress)
                        onProgress(event.loaded);
                };
                xhr.upload.onload = () => clearTimeout(quiet);
            } else {
                xhr.timeout = quietMs;
            }
            xhr.onloadend = () => clearTimeout(quiet);
            xhr.onload = () => resolve(xhr);
            xhr.onerror = () => reject(new Error('network'));
            xhr.onabort = () => reject(new Error('network'));
            xhr.ontimeout = () => reject(new Error('network'));
            xhr.send(body);
        });
    }

    // The receiver's reason: its first line is Japanese, the second English.
    function reasonOf(xhr) {
        const lines = (xhr.responseText || '').split('\n').filter((line) => line.trim() !== '');
        return (english ? lines[1] : lines[0]) || lines[0] || `HTTP ${xhr.status}`;
    }

    function sleep(ms) {
        return new Promise((resolve) => setTimeout(resolve, ms));
    }

    async function send(file) {
        const shown = row(file);
        announce(texts.sending(file.name));
        let url = recalled(file);
        let pause = 1000;
        for (;;) {
            try {
                let offset = 0;
                if (url) {
                    const asked = await request('HEAD', url, {}, null);
                    if (asked.status === 404) {
                        remember(file, null);
                        url = null;
                        continue;
                    }
                    if (asked.status !== 204)
                        return fail(file, shown, asked);
                    offset = Number(asked.getResponseHeader('Upload-Offset')) || 0;
                } else {
                    const created = await request('POST', action, {
                        'Upload-Complete': '?0',
                        'Upload-Length': String(file.size),
                        'Content-Disposition': `attachment; filename*=UTF-8''${encodeURIComponent(file.name)}`,
                    }, null);
                    if (created.status !== 201 || !created.getResponseHeader('Location'))
                        return fail(file, shown, created);
                    url = created.getResponseHeader('Location');
                    remember(file, url);
                }
                shown.progress.value = offset;
                const appended = await request('PATCH', url, {
                    'Content-Type': 'application/partial-upload',
                    'Upload-Offset': String(offset),
                    'Upload-Complete': '?1',
                    'Accept': 'application/json',
                }, file.slice(offset), (loaded) => { shown.progress.value = offset + loaded; });
                if (appended.status === 409) {
                    // The receiver holds another offset, or still writes the broken request.
                    await sleep(pause);
                    pause = Math.min(pause * 2, 30000);
                    continue;
                }
                if (appended.status !== 201)
                    return fail(file, shown, appended);
                const saved = JSON.parse(appended.responseText);
                remember(file, null);
                shown.progress.value = shown.progress.max;
                const code = document.createElement('code');
                code.textContent = saved.sha256;
                shown.result.textContent = `${saved.name} — ${saved.size} ${texts.bytes} — SHA-256 `;
                shown.result.append(code);
                announce(texts.sent(saved.name, saved.size, saved.sha256));
                return;
            } catch (error) {
                announce(texts.waiting(file.name, pause / 1000));
                await sleep(pause);
                pause = Math.min(pause * 2, 30000);
            }
        }
    }

    function fail(file, shown, xhr) {
        remember(file, null);
        shown.result.classList.add('failed');
        shown.result.textContent = reasonOf(xhr);
        announce(texts.failed(file.name, reasonOf(xhr)));
    }
})();
