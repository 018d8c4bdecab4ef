#!/usr/bin/python3
"""Downloads one link with a real browser: Debian's chromium, headless, driven over its DevTools
protocol. Prints the name the browser saved the file under, then exits 0; exits 1 with a reason
when the download fails or does not finish in time.

Usage: browser_download.py URL FOLDER [SECONDS]
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

import websocket


def main():
    url, folder = sys.argv[1], sys.argv[2]
    limit = float(sys.argv[3]) if len(sys.argv) > 3 else 60
    profile = tempfile.mkdtemp(prefix="zz-chromium-")
    port_file = os.path.join(profile, "DevToolsActivePort")
    browser = subprocess.Popen(
        ["/usr/bin/chromium", "--headless=new", "--no-sandbox", "--disable-gpu",
         "--no-first-run", "--no-default-browser-check", "--remote-debugging-port=0",
         "--user-data-dir=" + profile, "about:blank"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        deadline = time.monotonic() + limit
        while not os.path.exists(port_file) or os.path.getsize(port_file) == 0:
            if time.monotonic() > deadline or browser.poll() is not None:
                return fail("chromium did not start its DevTools endpoint")
            time.sleep(0.1)
        with open(port_file) as f:
            port = f.readline().strip()
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/version") as answer:
            endpoint = json.load(answer)["webSocketDebuggerUrl"]
        ws = websocket.create_connection(endpoint, timeout=limit)
        ids = iter(range(1, 1 << 30))

        def call(method, **params):
            ident = next(ids)
            ws.send(json.dumps({"id": ident, "method": method, "params": params}))
            while True:
                message = json.loads(ws.recv())
                if message.get("id") == ident:
                    if "error" in message:
                        raise RuntimeError(f"{method}: {message['error']}")
                    return message.get("result", {})
                events.append(message)

        events = []
        call("Browser.setDownloadBehavior", behavior="allow", downloadPath=folder, eventsEnabled=True)
        target = call("Target.createTarget", url="about:blank")["targetId"]
        session = call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        ident = next(ids)
        ws.send(json.dumps({"id": ident, "sessionId": session, "method": "Page.navigate",
                            "params": {"url": url}}))
        name = None
        while time.monotonic() < deadline:
            message = events.pop(0) if events else json.loads(ws.recv())
            method = message.get("method")
            params = message.get("params", {})
            if method == "Browser.downloadWillBegin":
                name = params.get("suggestedFilename")
            elif method == "Browser.downloadProgress":
                if params.get("state") == "completed":
                    print(name)
                    return 0
                if params.get("state") == "canceled":
                    return fail("the browser cancelled the download")
        return fail("the download did not finish in time")
    except (OSError, RuntimeError, websocket.WebSocketException) as error:
        return fail(str(error))
    finally:
        try:
            os.killpg(browser.pid, signal.SIGTERM)
            browser.wait(10)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            os.killpg(browser.pid, signal.SIGKILL)
        shutil.rmtree(profile, ignore_errors=True)


def fail(reason):
    print(reason, file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
