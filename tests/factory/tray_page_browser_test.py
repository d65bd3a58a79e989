#!/usr/bin/python3
"""vek-factory's tray page in Debian's chromium: a tray of vek-sim modules watched live, then vek-factory
stopped and started again under the open page. Arguments: --build DIR --axe axe.min.js."""
import contextlib, json, os, shutil, subprocess, sys, tempfile, unittest
from selenium.webdriver.support.ui import WebDriverWait
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from browser_support import AXE, chromium, free_origin, get, page_test_arguments, stop  # noqa: E402

ARGS = None
SOCKETS = ["3-1.9", "3-1.10", "3-1.11", "3-1.12"]  # the order they sit in, not the order of their names
# Each tile as a person and a screen reader get it (percent -1: none shown).
TILES = """return [...document.querySelectorAll('main article')].map(a => ({label: a.getAttribute('aria-label'),
  text: a.innerText, x: a.getBoundingClientRect().left, step: (a.querySelector('.step') || {}).textContent,
  percent: Number((a.querySelector('[role=progressbar][aria-valuenow]') || {ariaValueNow: -1}).ariaValueNow)}));"""

# Per tile that names the new version: whether the arrow is drawn left of it.
ARROW_BEFORE_VERSION = """const left = (p, needle) => { const walk = document.createTreeWalker(p, NodeFilter.SHOW_TEXT);
    for (let n; (n = walk.nextNode());) if (n.data.includes(needle)) { const r = document.createRange();
      r.setStart(n, n.data.indexOf(needle)); r.setEnd(n, n.data.indexOf(needle) + 1); return r.getBoundingClientRect().left; } };
  return [...document.querySelectorAll('.ver')].filter(p => p.textContent.includes('1.1_'))
    .map(p => left(p, '\u2192') < left(p, '1.1_'));"""


class TrayPageTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="vek-tray-page-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.artifacts = os.path.join(ARGS.build, "artifacts")
        os.makedirs(self.artifacts, exist_ok=True)
        self.procs, self.origin = [], free_origin()
        self.browser = chromium(self.at("chromium"))
        self.addCleanup(self.browser.quit)
        self.addCleanup(lambda: [stop(proc) for proc in reversed(self.procs)])

    def at(self, name):
        return os.path.join(self.work, name)

    def run_program(self, name, *args, env=None):
        with open(self.at(os.path.basename(name) + ".log"), "ab") as out:
            self.procs.append(subprocess.Popen([os.path.join(ARGS.build, name), *args], cwd=self.work, env=env,
                                               stdout=out, stderr=out, start_new_session=True))
        return self.procs[-1]

    def factory(self, images, count):
        """vek-factory on the test's port, watching a port map that vek-sim may fill later."""
        subprocess.run([os.path.join(ARGS.build, "sim/vek-make-images"), self.at(images), "--platform", "2",
                        "--image-kib", "64"], check=True, stdout=subprocess.DEVNULL)
        os.makedirs(self.at("run"), exist_ok=True)
        open(self.at("ports"), "a").close()
        proc = self.run_program("cli/vek-factory", "--port-map", self.at("ports"), "--images", self.at(images),
                                "--count", count, "--report", self.at("report.jsonl"), "--no-station-db",
                                "--timeout", "600", "--http", self.origin[len("http://"):],
                                env=dict(os.environ, VEK_TIME_SCALE="0.5", XDG_RUNTIME_DIR=self.at("run")))
        self.wait(lambda: proc.poll() is None and get(self.origin + "/healthz") == "ok\n", 15, "vek-factory up")
        return proc

    def wait(self, condition, seconds, what):
        try:
            return WebDriverWait(self.browser, seconds, poll_frequency=0.1).until(lambda _: condition())
        except Exception:
            self.browser.save_screenshot(os.path.join(self.artifacts, "tray-page-failed.png"))
            with open(self.at("vek-factory.log"), errors="replace") as log:
                self.fail("not within %s s: %s\nvek-factory said:\n%s\nthe page (tray-page-failed.png):\n%s" % (
                    seconds, what, log.read()[-3000:], self.page("return document.body.innerText")))

    def page(self, script):
        return self.browser.execute_script(script)

    def connection(self):  # the header's text, and the alert's while one shows
        return self.page("""const lost = document.querySelector('[role=alert]');
            return [document.querySelector('header').innerText, lost.hidden ? '' : lost.innerText];""")

    def viewport(self, width, height):
        self.browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 600})

    def assert_accessible(self):
        with open(ARGS.axe) as axe:
            self.page(axe.read())
        self.assertEqual(self.browser.execute_async_script(AXE), [], "at %s px wide" % self.page("return innerWidth"))

    def test_a_tray_of_four_from_start_to_end(self):
        self.factory("images", "5")  # one more job than the tray holds: it stays up to be read at the end
        self.viewport(1920, 1080)
        self.browser.get(self.origin + "/")
        self.wait(lambda: "Live" in self.connection()[0], 10, "the page says Live")
        self.run_program("sim/vek-sim", "--port-map", self.at("ports"), "--modules", "4", "--usb-path", SOCKETS[0],
                         "--model", "ZX2180", "--revision", "ZX2180_SIM_V1.0\u200f", "--revision-after-download",
                         "1.1_ZX2180_SIM", "--fault", "2@programmer:07:refuse:13")
        self.wait(lambda: len(self.page(TILES)) == 4, 30, "four tiles")
        seen = {}

        def advanced():  # a socket's step shown again, with a higher percent than before
            now = {t["label"]: (t["step"], t["percent"]) for t in self.page(TILES) if t["label"].endswith("running")}
            rose = any(label in seen and seen[label][0] == step and 0 <= seen[label][1] < percent
                       for label, (step, percent) in now.items())
            return seen.update(now) or rose
        self.wait(advanced, 30, "a running tile's percent rises")
        self.browser.save_screenshot(os.path.join(self.artifacts, "tray-page.png"))

        self.wait(lambda: not any(t["label"].endswith(("waiting", "running")) for t in self.page(TILES)), 120,
                  "every job ended")
        self.wait(lambda: len(read_lines(self.at("report.jsonl"))) == 4, 10, "four report lines")
        report = {line["usb_path"]: line for line in read_lines(self.at("report.jsonl"))}
        self.assertEqual(sorted(line["result"] for line in report.values()), ["failed"] + ["succeeded"] * 3)
        api = {tile["usb_path"]: tile for tile in json.loads(get(self.origin + "/api/tray"))["tiles"]}
        keys = ("result", "version_after", "imei")
        self.assertEqual({path: [api[path][key] for key in keys] for path in report},
                         {path: [line[key] for key in keys] for path, line in report.items()})
        tiles = {tile["label"]: tile["text"] for tile in self.page(TILES)}
        labels = {path: "Socket %s: %s" % (path, report[path]["result"]) for path in SOCKETS}
        self.assertEqual(list(tiles), list(labels.values()))
        for path, line in report.items():
            for shown in (["write failed", api[path]["image"] or "image"] if line["result"] == "failed" else
                          ["%s → %s" % (line["version_before"], line["version_after"])]):
                self.assertIn(shown, tiles[labels[path]], path)
        # The right-to-left mark ending the first version moves neither the arrow nor the second.
        self.assertEqual(self.page(ARROW_BEFORE_VERSION), [True] * 3)
        names = self.page("return performance.getEntriesByType('resource').map(e => e.name)")
        self.assertEqual([name for name in names if not name.startswith(self.origin + "/")], [])
        self.assert_accessible()
        self.viewport(390, 844)
        self.assert_accessible()
        self.wait(lambda: len({t["x"] for t in self.page(TILES)}) == 1, 10, "one column of tiles on a phone")

    def test_b_page_lives_through_a_restart_of_vek_factory(self):
        def live(images):
            header, alert = self.connection()
            return not alert and header.endswith("Live") and "/%s " % images in header
        first = self.factory("images-a", "1")
        self.browser.get(self.origin + "/")
        self.wait(lambda: live("images-a"), 10, "Live")
        self.page("window.__marker = 1")
        stop(first)
        lost = ["Connection to vek-factory lost — retrying…", False]
        self.wait(lambda: [self.connection()[1], "Live" in self.connection()[0]] == lost, 3, "the lost banner")
        self.factory("images-b", "1")  # another folder: the header shows it only if the page read the new stream
        self.wait(lambda: live("images-b"), 5, "Live again, with the new vek-factory's header")
        self.assertEqual(self.page("return window.__marker"), 1, "the page was not reloaded")


def read_lines(path):
    with contextlib.suppress(FileNotFoundError), open(path) as lines:
        return [json.loads(line) for line in lines]
    return []


if __name__ == "__main__":
    ARGS, rest = page_test_arguments()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
