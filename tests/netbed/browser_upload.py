#!/usr/bin/python3
"""Sends files into a drop point with a real browser: Debian's chromium, headless, driven over its
DevTools protocol, against zumzum-dropbed on 127.0.0.1 through a relay that counts the bytes the
browser sends. Two files go through the upload page with its script; the network drops in the
middle of the first and comes back, and the page goes on from the offset the receiver holds. A
third file is dropped on the page as a file manager drops it. Then the same page with scripts disabled sends a file as a plain form. Exits 0 when all arrived
whole, with the right SHA-256 shown, and the browser sent no part twice; 1 with a reason
otherwise.

Usage: browser_upload.py ZUMZUM-DROPBED [SECONDS]
"""
import hashlib
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import websocket

RECEIVER = "Aoi <b>"


def reset(connection):
    """Closes with a reset. A thread blocked reading the socket keeps it open until it returns,
    so it is woken first: else the reset waits for the peer's next bytes."""
    try:
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        connection.shutdown(socket.SHUT_RD)
    except OSError:
        pass
    connection.close()


class Relay:
    """Forwards 127.0.0.1:port to the server and counts what of the browser's bytes it passes on,
    taking at most `rate` bytes a second, so that the network can break in the middle of a file."""

    def __init__(self, target_port, rate):
        self.target_port = target_port
        self.rate = rate
        self.sent = 0
        self.lock = threading.Lock()
        self.connections = []
        self.broken = False
        self.frozen = set()
        self.listener = socket.socket()
        # Small buffers: what the browser counts as sent is near what arrived here.
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 * 1024)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                broken = self.broken
            if broken:
                reset(client)
                continue
            server = socket.create_connection(("127.0.0.1", self.target_port))
            with self.lock:
                self.connections += [client, server]
            threading.Thread(target=self.pipe, args=(client, server, True), daemon=True).start()
            threading.Thread(target=self.pipe, args=(server, client, False), daemon=True).start()

    def pipe(self, source, sink, upstream):
        try:
            while True:
                while upstream and source in self.frozen:
                    time.sleep(0.1)
                data = source.recv(16384)
                if not data:
                    break
                if upstream:
                    with self.lock:
                        self.sent += len(data)
                    time.sleep(len(data) / self.rate)
                sink.sendall(data)
        except OSError:
            pass
        finally:
            for s in (source, sink):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def down(self):
        """Breaks as a network that went away: resets every connection open now, and each new one
        until up()."""
        with self.lock:
            self.broken = True
            connections, self.connections = self.connections, []
        for connection in connections:
            reset(connection)

    def up(self):
        with self.lock:
            self.broken = False

    def freeze(self):
        """Passes nothing more on the connections open now and keeps them open, as a network that
        went away without a word; new connections pass."""
        with self.lock:
            self.frozen.update(self.connections)
            self.connections = []

    def count(self):
        with self.lock:
            return self.sent


class Browser:
    def __init__(self, limit):
        self.profile = tempfile.mkdtemp(prefix="zz-chromium-")
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        self.process = subprocess.Popen(
            ["/usr/bin/chromium", "--headless=new", "--no-sandbox", "--disable-gpu",
             "--no-first-run", "--no-default-browser-check", "--remote-debugging-port=0",
             "--user-data-dir=" + self.profile, "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + limit
        while not os.path.exists(port_file) or os.path.getsize(port_file) == 0:
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise RuntimeError("chromium did not start its DevTools endpoint")
            time.sleep(0.1)
        with open(port_file) as f:
            port = f.readline().strip()
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/version") as answer:
            endpoint = json.load(answer)["webSocketDebuggerUrl"]
        self.ws = websocket.create_connection(endpoint, timeout=limit)
        self.ids = iter(range(1, 1 << 30))
        self.session = None

    def call(self, method, session=True, **params):
        ident = next(self.ids)
        message = {"id": ident, "method": method, "params": params}
        if session and self.session:
            message["sessionId"] = self.session
        self.ws.send(json.dumps(message))
        while True:
            try:
                answer = json.loads(self.ws.recv())
            except websocket.WebSocketTimeoutException:
                raise RuntimeError(f"{method}: chromium did not answer") from None
            if answer.get("id") == ident:
                if "error" in answer:
                    raise RuntimeError(f"{method}: {answer['error']}")
                return answer.get("result", {})

    def open_page(self, url, scripts=True):
        target = self.call("Target.createTarget", session=False, url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", session=False, targetId=target,
                                 flatten=True)["sessionId"]
        self.call("Network.enable")
        if not scripts:
            self.call("Emulation.setScriptExecutionDisabled", value=True)
        self.call("Page.navigate", url=url)
        self.wait_for(lambda: self.node("#status"), "the page did not load")
        if scripts:
            # Its script has run (it shows the drop area): before, Enter posts the plain form.
            self.wait_for(lambda: self.call("Runtime.evaluate", returnByValue=True,
                                            expression="!document.getElementById('drop').hidden")
                          ["result"].get("value"), "the page's script did not run")

    def in_document(self, method, **params):
        # A node id holds only until the document changes: read again when it did meanwhile.
        for _ in range(50):
            try:
                root = self.call("DOM.getDocument", depth=0)["root"]["nodeId"]
                return self.call(method, nodeId=root, **params)
            except RuntimeError:
                time.sleep(0.1)
        raise RuntimeError(f"{method}: the document kept changing")

    def node(self, selector):
        return self.in_document("DOM.querySelector", selector=selector).get("nodeId", 0)

    def html(self):
        return self.in_document("DOM.getOuterHTML")["outerHTML"]

    def ax_names(self):
        nodes = self.call("Accessibility.getFullAXTree")["nodes"]
        return [(n.get("role", {}).get("value", ""), str(n.get("name", {}).get("value", "")))
                for n in nodes]

    def press_enter_on(self, selector):
        self.call("DOM.focus", nodeId=self.node(selector))
        for kind in ("keyDown", "keyUp"):
            self.call("Input.dispatchKeyEvent", type=kind, key="Enter", code="Enter",
                      windowsVirtualKeyCode=13, text="\r" if kind == "keyDown" else "")

    def drop_file(self, path):
        """Drags a file from outside the browser onto the page and lets it go."""
        data = {"items": [], "files": [path], "dragOperationsMask": 1}
        for kind in ("dragEnter", "dragOver", "drop"):
            self.call("Input.dispatchDragEvent", type=kind, x=200, y=200, data=data)

    def network(self, offline, upload_bytes_per_second=-1):
        self.call("Network.emulateNetworkConditions", offline=offline, latency=0,
                  downloadThroughput=-1, uploadThroughput=upload_bytes_per_second)

    def wait_for(self, condition, reason, limit=30):
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            try:
                value = condition()
            except RuntimeError:
                value = None  # the document was replaced while it was read
            if value:
                return value
            time.sleep(0.1)
        raise RuntimeError(reason)

    def close(self):
        try:
            os.killpg(self.process.pid, signal.SIGTERM)
            self.process.wait(10)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            os.killpg(self.process.pid, signal.SIGKILL)
        shutil.rmtree(self.profile, ignore_errors=True)


def main():
    dropbed = sys.argv[1]
    limit = float(sys.argv[2]) if len(sys.argv) > 2 else 120
    work = tempfile.mkdtemp(prefix="zz-upload-")
    inbox = os.path.join(work, "inbox")
    os.mkdir(inbox)
    files = {}
    for name, size in (("議事録.bin", 6 * 1024 * 1024), ("notes.txt", 8 * 1024 * 1024), ("form.bin", 100 * 1024),
                       ("dropped.bin", 200 * 1024)):
        path = os.path.join(work, name)
        data = os.urandom(size)
        with open(path, "wb") as f:
            f.write(data)
        files[name] = (path, size, hashlib.sha256(data).hexdigest())
    server = subprocess.Popen([dropbed, inbox, RECEIVER], stdout=subprocess.PIPE, text=True)
    received = {}
    browser = None
    try:
        link = server.stdout.readline().split()
        if len(link) != 2 or link[0] != "link":
            return fail("zumzum-dropbed did not open a drop point")

        def read_received():
            for line in server.stdout:
                parts = line.split()
                if len(parts) == 4 and parts[0] == "received":
                    received[parts[1]] = (int(parts[2]), parts[3])

        threading.Thread(target=read_received, daemon=True).start()
        port = int(link[1].split(":")[2].split("/")[0])
        relay = Relay(port, 2 * 1024 * 1024)
        url = link[1].replace(f":{port}/", f":{relay.port}/")

        browser = Browser(limit)
        browser.open_page(url)
        # The accessibility tree fills in after the load.
        def accessible():
            names = browser.ax_names()
            return (any(name == "Files to send" for _, name in names) and
                    any(role == "status" for role, _ in names) and
                    any(RECEIVER in name for _, name in names))

        browser.wait_for(accessible, "the accessibility tree lacks the chooser's label, the live region "
                         "or the receiver's name")

        first, second = files["議事録.bin"], files["notes.txt"]
        browser.call("DOM.setFileInputFiles", files=[first[0], second[0]], nodeId=browser.node("#files"))
        before = relay.count()
        browser.press_enter_on("button[type=submit]")
        browser.wait_for(lambda: relay.count() - before > first[1] // 3, "the upload did not start")
        # The network breaks under the running request. Chromium's offline mode alone does not
        # always stop a request that is sending its body, and switching to it while one is can
        # stall for tens of seconds on a busy machine: the browser goes offline once the page has
        # noticed the break, and the relay refuses every connection until then.
        relay.down()
        cut = relay.count() - before
        if cut >= first[1]:
            return fail("the first file was whole before the network dropped")
        # The page noticed, and waits to try again: offline, then online.
        # Chromium sometimes does not report the broken request at all, as after a network that
        # went away without a word: the page then gives it up after 20 s without a byte sent.
        browser.wait_for(lambda: "no connection" in browser.html(), "the page did not notice the break", 60)
        browser.network(True)
        relay.up()
        browser.network(False)
        # The second file's request then hangs on a network gone without a word: the page gives it
        # up after 20 s without progress, and the receiver, asked for the offset, ends the request
        # it still holds open. Early in the file, so that the rest does not fit in the sockets'
        # buffers (chromium would count it as sent).
        browser.wait_for(lambda: relay.count() - before > first[1] + second[1] // 8,
                         "the second file did not start", limit)
        relay.freeze()
        frozen = relay.count() - before
        if frozen >= first[1] + second[1]:
            return fail("the second file was whole before the network went away")
        browser.wait_for(lambda: "notes.txt: no connection" in browser.html(),
                         "the page did not give up the request that hung", 60)
        browser.wait_for(lambda: len(received) == 2, "the files did not arrive", limit)
        sent = relay.count() - before
        for name in ("議事録.bin", "notes.txt"):
            if received.get(name) != (files[name][1], files[name][2]):
                return fail(f"{name} arrived as {received.get(name)}, expected {files[name][1:]}")
        whole = first[1] + second[1]
        # Headers of a few requests at most; sending the first file's start again would add a third.
        if not whole <= sent < whole + 256 * 1024:
            return fail(f"the browser sent {sent} bytes for {whole} bytes of files")
        browser.wait_for(lambda: any(role == "status" and second[2] in name
                                     for role, name in browser.ax_names()) or
                         second[2] in browser.html(), "the live region does not tell the result")
        status = browser.html()
        if first[2] not in status or second[2] not in status:
            return fail("the page does not list the SHA-256 of both files")

        dropped = files["dropped.bin"]
        browser.drop_file(dropped[0])
        browser.wait_for(lambda: "dropped.bin" in received, "the dropped file did not arrive", limit)
        if received["dropped.bin"] != (dropped[1], dropped[2]):
            return fail(f"dropped.bin arrived as {received['dropped.bin']}")
        browser.wait_for(lambda: dropped[2] in browser.html(), "the page does not show the dropped file's SHA-256")

        # Without scripts the same page is a form; its answer lists name, size and SHA-256.
        browser.network(False)
        browser.open_page(url, scripts=False)
        plain = files["form.bin"]
        browser.call("DOM.setFileInputFiles", files=[plain[0]], nodeId=browser.node("#files"))
        browser.press_enter_on("button[type=submit]")
        browser.wait_for(lambda: "form.bin" in received, "the form's file did not arrive", limit)
        browser.wait_for(lambda: plain[2] in browser.html(), "the form's answer does not show the SHA-256")
        if received["form.bin"] != (plain[1], plain[2]):
            return fail(f"form.bin arrived as {received['form.bin']}")
        print(f"sent {sent} bytes for {whole} bytes of files; all arrived whole")
        return 0
    except (OSError, RuntimeError, websocket.WebSocketException) as error:
        return fail(str(error))
    finally:
        if browser:
            browser.close()
        server.terminate()
        server.wait(10)
        shutil.rmtree(work, ignore_errors=True)


def fail(reason):
    print(reason, file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
