"""Every page of a built site loaded in headless Chromium, driven over the
DevTools protocol: a script error, a failed resource, a console error or a
request leaving the filesystem fails the page; one JUnit case per page and a
screenshot of the landing page. Run by the docs stage in its venv (where
websockets is), with the standard library besides:

    python -m harness.page_check SITE_DIR JUNIT_XML SCREENSHOT_PNG
"""

from __future__ import annotations

import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
from pathlib import Path

PAGE_TIMEOUT = 30.0  # seconds for one page to load


class _Browser:
    """Headless Chromium driven over the DevTools protocol: one page target,
    attached flat, and the events it sends kept until read."""

    def __init__(self, profile: Path) -> None:
        binary = shutil.which("chromium") or "chromium"
        self.process = subprocess.Popen(
            [
                binary,
                "--headless",
                "--no-sandbox",
                "--disable-gpu",
                "--disable-dev-shm-usage",
                "--no-first-run",
                "--disable-background-networking",
                "--disable-component-update",
                "--disable-sync",
                "--hide-scrollbars",
                "--window-size=1280,900",
                "--remote-debugging-port=0",
                f"--user-data-dir={profile}",
                "about:blank",
            ],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            start_new_session=True,
        )
        port_file = profile / "DevToolsActivePort"
        deadline = time.monotonic() + PAGE_TIMEOUT
        while not (port_file.is_file() and len(port_file.read_text().split()) == 2):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise RuntimeError("Chromium did not open its DevTools port")
            time.sleep(0.1)
        port, path = port_file.read_text().split()
        self.url = f"ws://127.0.0.1:{port}{path}"
        self.next_id = 0
        self.events: list[dict] = []

    def attach(self, socket) -> None:
        """One blank page, attached flat on the browser's socket, its events on."""
        self.socket = socket
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        for domain in ("Page", "Runtime", "Network", "Log"):
            self.call(f"{domain}.enable", session=self.session)

    def call(self, method: str, session: str | None = None, **params) -> dict:
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        self.socket.send(json.dumps(message))
        while True:
            reply = json.loads(self.socket.recv(timeout=PAGE_TIMEOUT))
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            if "method" in reply:
                self.events.append(reply)

    def load(self, url: str) -> list[str]:
        """Navigates to url and returns every problem seen until the load
        event and a moment after it."""
        self.events.clear()
        self.call("Page.navigate", session=self.session, url=url)
        deadline = time.monotonic() + PAGE_TIMEOUT
        loaded = None
        while time.monotonic() < deadline and (loaded is None or time.monotonic() < loaded + 0.5):
            if loaded is None and any(e["method"] == "Page.loadEventFired" for e in self.events):
                loaded = time.monotonic()
            try:
                self.events.append(json.loads(self.socket.recv(timeout=0.1)))
            except TimeoutError:
                pass
        problems = [] if loaded else [f"no load event within {PAGE_TIMEOUT:.0f} s"]
        return problems + [p for e in self.events if (p := _problem(e))]

    def screenshot(self, path: Path) -> None:
        data = self.call("Page.captureScreenshot", session=self.session, format="png")["data"]
        path.write_bytes(base64.b64decode(data))

    def close(self) -> None:
        self.process.terminate()
        self.process.wait(timeout=30)


def _problem(event: dict) -> str | None:
    """What is wrong, if anything, in one DevTools event."""
    method, params = event["method"], event.get("params", {})
    if method == "Runtime.exceptionThrown":
        details = params["exceptionDetails"]
        return f"script error: {details.get('exception', {}).get('description') or details.get('text')}"
    if method == "Network.loadingFailed" and not params.get("canceled"):
        return f"failed to load a resource: {params.get('errorText')} ({params.get('type')})"
    if method == "Network.requestWillBeSent":
        url = params["request"]["url"]
        if url.split(":", 1)[0] not in ("file", "data", "about", "blob"):
            return f"request leaves the filesystem: {url}"
    if method == "Log.entryAdded" and params["entry"]["level"] == "error":
        return f"console: {params['entry'].get('text')} {params['entry'].get('url', '')}".strip()
    if method == "Runtime.consoleAPICalled" and params.get("type") == "error":
        return "console.error: " + " ".join(str(a.get("value", a.get("description"))) for a in params["args"])
    return None


def _check_page(browser: _Browser, site: Path, page: Path, suite: ET.Element) -> None:
    start = time.monotonic()
    problems = browser.load(page.as_uri())
    case = ET.SubElement(
        suite, "testcase", classname="browser", name=str(page.relative_to(site)), time=f"{time.monotonic() - start:.3f}"
    )
    if problems:
        ET.SubElement(case, "failure", message=problems[0]).text = "\n".join(problems)
        print(f"{page.relative_to(site)}:", *problems, sep="\n  ", flush=True)


def check_pages(site: Path, xml: Path, screenshot: Path) -> int:
    """Loads every page of the built site; one JUnit case per page."""
    from websockets.sync.client import connect

    pages = sorted(p for p in site.rglob("*.html") if not p.relative_to(site).parts[0].startswith("_"))
    suite = ET.Element("testsuite", name="browser")
    with tempfile.TemporaryDirectory() as profile:
        browser = _Browser(Path(profile))
        try:
            with connect(browser.url, max_size=None) as socket:
                browser.attach(socket)
                for page in pages:
                    _check_page(browser, site, page, suite)
                    if page == site / "index.html":
                        browser.screenshot(screenshot)
        finally:
            browser.close()
    ET.ElementTree(suite).write(xml, encoding="utf-8", xml_declaration=True)
    failures = sum(1 for _ in suite.iter("failure"))
    print(f"{len(pages)} pages loaded, {failures} with problems; screenshot: {screenshot}")
    return 1 if failures or not pages else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: python -m harness.page_check SITE_DIR JUNIT_XML SCREENSHOT_PNG")
    os.environ.pop("DISPLAY", None)
    sys.exit(check_pages(*(Path(arg).resolve() for arg in sys.argv[1:])))
