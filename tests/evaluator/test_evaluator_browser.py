"""A written report opened in a real browser (headless Chromium).

The browser is driven over the DevTools protocol on a pipe (fds 3 and 4 of
the child), so nothing beyond the standard library is needed. CI installs
Debian's `chromium` package; elsewhere the test is skipped when no Chromium
binary is found.
"""

import base64
import fcntl
import io
import json
import os
import select
import shutil
import subprocess
import sys
import time
import types

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("matplotlib")
Image = pytest.importorskip("PIL.Image")

CHROMIUM = next(filter(None, (shutil.which(name) for name in
                              ("chromium", "chromium-browser", "google-chrome"))), None)

# Each of these, if it ran, would set window.__pwned.
INJECTED_GENERATOR = "<script>window.__pwned = 'generator'</script>"
INJECTED_METRIC = "<img src=x onerror=\"window.__pwned = 'metric'\">"
INJECTED_DATASET = "<svg onload=\"window.__pwned = 'dataset'\"></svg>"
INJECTED_COLUMN = "x' onerror='window.__pwned = \"column\"' data-x='"


TRAMPOLINE = """
import os, sys
commands, answers = int(sys.argv[1]), int(sys.argv[2])
os.dup2(commands, 3)
os.dup2(answers, 4)
os.close(commands)
os.close(answers)
os.execv(sys.argv[3], sys.argv[3:])
"""


class Browser:
    """A minimal DevTools-protocol client for one page, over a pipe."""

    def __init__(self, binary, profile_dir, deadline_seconds=90):
        cmd_read, self._cmd_write = os.pipe()
        self._resp_read, resp_write = os.pipe()
        # The child's ends are moved well above fds 3 and 4, so that putting
        # one of them in place cannot overwrite the other.
        cmd_read, resp_write = self._high_fd(cmd_read), self._high_fd(resp_write)

        args = [binary, "--headless", "--remote-debugging-pipe", "--disable-gpu",
                "--no-first-run", "--no-default-browser-check", "--disable-extensions",
                "--hide-scrollbars", "--disable-dev-shm-usage",
                f"--user-data-dir={profile_dir}", "about:blank"]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")  # Chromium refuses to sandbox as root
        # The browser reads commands on fd 3 and answers on fd 4: a small
        # trampoline moves the two pipe ends there and then becomes the browser.
        self._proc = subprocess.Popen(
            [sys.executable, "-c", TRAMPOLINE, str(cmd_read), str(resp_write), *args],
            pass_fds=(cmd_read, resp_write), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(cmd_read)
        os.close(resp_write)
        self._buffer = b""
        self._next_id = 0
        self._events = []
        # A guard against a hung browser, not a measurement.
        self._deadline = time.monotonic() + deadline_seconds
        self.session = None

    @staticmethod
    def _high_fd(fd):
        moved = fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10)
        os.close(fd)
        return moved

    def close(self):
        try:
            os.write(self._cmd_write, json.dumps(
                {"id": self._next_id + 1, "method": "Browser.close"}).encode() + b"\0")
            self._proc.wait(timeout=20)
        except (OSError, subprocess.TimeoutExpired):
            self._proc.kill()
            self._proc.wait()
        os.close(self._cmd_write)
        os.close(self._resp_read)

    def _read_message(self):
        while b"\0" not in self._buffer:
            remaining = self._deadline - time.monotonic()
            ready, _, _ = select.select([self._resp_read], [], [], max(remaining, 0))
            if not ready:
                raise AssertionError("Chromium did not answer on the DevTools pipe")
            chunk = os.read(self._resp_read, 1 << 20)
            if not chunk:
                raise AssertionError("Chromium closed the DevTools pipe")
            self._buffer += chunk
        raw, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(raw)

    def send(self, method, session=True, **params):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if session and self.session:
            message["sessionId"] = self.session
        os.write(self._cmd_write, json.dumps(message).encode() + b"\0")
        while True:
            reply = self._read_message()
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise AssertionError(f"{method} failed: {reply['error']}")
                return reply["result"]
            self._events.append(reply)

    def wait_for(self, event):
        while True:
            for i, message in enumerate(self._events):
                if message.get("method") == event:
                    return self._events.pop(i)
            self._events.append(self._read_message())

    def open(self, url):
        target = self.send("Target.createTarget", session=False, url="about:blank")
        self.session = self.send("Target.attachToTarget", session=False,
                                 targetId=target["targetId"], flatten=True)["sessionId"]
        self.send("Page.enable")
        self.send("Emulation.setDeviceMetricsOverride", width=1200, height=900,
                  deviceScaleFactor=1, mobile=False)
        self.send("Page.navigate", url=url)
        self.wait_for("Page.loadEventFired")

    def evaluate(self, expression):
        result = self.send("Runtime.evaluate", expression=expression, awaitPromise=True,
                           returnByValue=True)
        if "exceptionDetails" in result:
            raise AssertionError(f"page script failed: {result['exceptionDetails']}")
        return result["result"].get("value")

    def screenshot(self):
        data = self.send("Page.captureScreenshot", format="png", captureBeyondViewport=True)
        return base64.b64decode(data["data"])


@pytest.fixture
def browser(tmp_path):
    if CHROMIUM is None:
        pytest.skip("Chromium is not installed (Debian: apt-get install chromium); "
                    "the real-browser check of the HTML report needs it")
    b = Browser(CHROMIUM, tmp_path / "chromium-profile")
    try:
        yield b
    finally:
        b.close()


def written_report(TabularEvaluator, path):
    rng = np.random.default_rng(7)
    columns = ["age", "income", INJECTED_COLUMN]
    real = pd.DataFrame({c: rng.normal(i, 1.0, 400) for i, c in enumerate(columns)})
    synth = pd.DataFrame({c: rng.normal(i + 0.3, 1.2, 300) for i, c in enumerate(columns)})
    M = types.SimpleNamespace
    report = M(
        aggregate_metrics={"ks_complement_age": M(value=0.91, higher_is_better=True),
                           INJECTED_METRIC: M(value=0.8, higher_is_better=True)},
        privacy_metrics={"membership_inference_auc": M(value=0.1, higher_is_better=False)},
        generator_name=INJECTED_GENERATOR, timestamp="2024-05-01T10:00:00+00:00",
        dataset_name=INJECTED_DATASET, real_data_n_rows=400, synthetic_data_n_rows=300,
        n_columns=3)
    html = TabularEvaluator().to_html(report, str(path), real, synth)
    return html


PAGE_STATE = """
(async () => {
  const images = Array.from(document.images);
  const decoded = await Promise.all(images.map(
      img => img.decode().then(() => true, () => false)));
  return {
    pwned: window.__pwned === undefined ? null : String(window.__pwned),
    scripts: document.scripts.length,
    title: document.title,
    heading: document.querySelector("h1").textContent,
    metricNames: Array.from(document.querySelectorAll("tr td:first-child"))
        .map(td => td.textContent),
    images: images.map((img, i) => ({alt: img.alt, width: img.naturalWidth,
                                     height: img.naturalHeight, decoded: decoded[i],
                                     attributes: img.getAttributeNames()})),
  };
})()
"""


def test_report_renders_in_chromium(TabularEvaluator, browser, tmp_path):
    page = tmp_path / "report.html"
    written_report(TabularEvaluator, page)
    browser.open(page.as_uri())
    state = browser.evaluate(PAGE_STATE)

    # No injected name ran or became markup; each shows as the text it is.
    assert state["pwned"] is None
    assert state["scripts"] == 0
    assert state["title"] == f"Quorvix Evaluation Report \u2014 {INJECTED_GENERATOR}"
    assert state["heading"] == f"Evaluation Report \u2014 {INJECTED_GENERATOR}"
    assert state["metricNames"] == ["ks_complement_age", INJECTED_METRIC,
                                    "membership_inference_auc"]

    # Three histogram cards and the correlation pair, every one decoded at full size.
    images = state["images"]
    assert [img["alt"] for img in images] == ["age", "income", INJECTED_COLUMN, "Correlation"]
    assert all(img["decoded"] for img in images)
    assert [(img["width"], img["height"]) for img in images] == [(500, 350)] * 3 + [(1000, 450)]
    assert all(sorted(img["attributes"]) == ["alt", "src"] for img in images)

    shot = browser.screenshot()
    (tmp_path / "report.png").write_bytes(shot)
    picture = Image.open(io.BytesIO(shot)).convert("RGB")
    assert picture.width == 1200 and picture.height > 900  # the whole page, not the viewport
    colours = picture.getcolors(maxcolors=1 << 20)
    assert colours is not None and len(colours) > 50  # text, tables and plots, not a blank page
    # The page background (#f5f7fa) is the commonest colour, as the style block says.
    assert max(colours)[1] == (0xF5, 0xF7, 0xFA)
