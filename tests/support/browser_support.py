"""What the page tests share: Debian's chromium headless through WebDriver, the accessibility check with
axe-core, and the programs they start, each in a process group of its own."""
import argparse, contextlib, os, signal, socket, subprocess, urllib.request
from selenium import webdriver
from selenium.webdriver.chrome.service import Service

CHROMIUM = ("headless=new", "no-sandbox", "disable-gpu", "disable-quic", "no-first-run", "disable-sync",
            "disable-background-networking", "disable-component-update", "window-size=1920,1080")
AXE = """const done = arguments[arguments.length - 1];
  axe.run(document, {runOnly: {type: 'tag', values: ['wcag2a', 'wcag2aa']}}).then(
    r => done(r.violations.map(v => v.id + ': ' + v.nodes.map(n => n.target).join(' '))), e => done(['' + e]));"""


def chromium(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in CHROMIUM + ("user-data-dir=" + profile,):
        options.add_argument("--" + arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def free_origin():  # an address nothing listens on now
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return "http://127.0.0.1:%d" % probe.getsockname()[1]


def get(url):  # None while nothing answers
    with contextlib.suppress(OSError), urllib.request.urlopen(url, timeout=5) as reply:
        return reply.read().decode()


def stop(proc):  # its whole process group: asked first, then made to
    for sig in (signal.SIGTERM, signal.SIGKILL):
        with contextlib.suppress(ProcessLookupError, subprocess.TimeoutExpired):
            os.killpg(proc.pid, sig) if proc.poll() is None else None
            return proc.wait(10)


def page_test_arguments():
    """--build DIR --axe axe.min.js, and the rest for unittest."""
    parser = argparse.ArgumentParser()
    for option in ("--build", "--axe"):
        parser.add_argument(option, required=True)
    return parser.parse_known_args()
