#!/usr/bin/python3
"""vek-report serve's pages in Debian's chromium, over a generated line of jobs kept both in a station's SQLite
file and in a throwaway PostgreSQL: the numbers shown equal the same questions asked in SQL, a module's backups
download byte for byte, the jobs' CSV equals `vek-report jobs --json`, and a stopped database is said plainly.
Arguments: --build DIR --axe axe.min.js."""
import csv, hashlib, io, json, os, shutil, sqlite3, subprocess, sys, tempfile, unittest, urllib.parse
import urllib.request
from selenium.webdriver.support.ui import WebDriverWait
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from browser_support import AXE, chromium, free_origin, get, page_test_arguments, stop  # noqa: E402

ARGS = None
PG_BIN = "/usr/lib/postgresql/15/bin"
PASSWORD = "report-secret-0815"
NOW = "2026-11-30T12:00:00Z"  # the fixture's last moment; the periods asked are whole days before it
# The failed, aborted and interrupted jobs, as vek-report counts failures.
UNSUCCESSFUL = ("failed", "aborted", "interrupted")


class Line:
    """A PostgreSQL cluster in a temporary folder, on its Unix socket only, with one password-protected role."""

    def __init__(self, folder):
        self.folder, self.port = folder, 20000 + os.getpid() % 10000
        self.as_postgres = ["runuser", "-u", "postgres", "--"] if os.geteuid() == 0 else []
        with open(os.path.join(folder, "password"), "w") as f:
            f.write(PASSWORD + "\n")
        if self.as_postgres:
            subprocess.run(["chown", "-R", "postgres", folder], check=True)
        subprocess.run(self.as_postgres + [PG_BIN + "/initdb", "-D", self.data(), "-A", "scram-sha-256", "-U", "vek",
                                           "--pwfile=" + os.path.join(folder, "password")],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.start()

    def data(self):
        return os.path.join(self.folder, "data")

    def ctl(self, *args):
        subprocess.run(self.as_postgres + [PG_BIN + "/pg_ctl", "-D", self.data(), "-w", *args], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def start(self):
        self.ctl("-l", os.path.join(self.folder, "server.log"), "-o",
                 "-k %s -p %d -c listen_addresses=''" % (self.folder, self.port), "start")

    def stop(self):
        self.ctl("-m", "fast", "stop")

    def url(self):
        return "host=%s port=%d user=vek dbname=postgres password=%s" % (self.folder, self.port, PASSWORD)

    def rows(self, sql):
        out = subprocess.run(["psql", "-X", "-A", "-t", "-F", "\t", "-d", self.url(), "-c", sql], check=True,
                             capture_output=True, text=True).stdout
        return [tuple(line.split("\t")) for line in out.splitlines() if line]


class ReportPagesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="vek-report-pages-")
        os.chmod(cls.work, 0o755)
        cls.station_db = os.path.join(cls.work, "station.db")
        os.makedirs(os.path.join(cls.work, "line"))
        cls.line = Line(os.path.join(cls.work, "line"))
        made = subprocess.run([os.path.join(ARGS.build, "bench", "bench_record_fixture"), "--jobs", "3000",
                               "--stations", "4", "--days", "40", "--seed", "7", "--now", NOW, "--backups", "6",
                               "--db", cls.station_db, "--line-db", cls.line.url()],
                              check=True, capture_output=True, text=True)
        cls.fixture = json.loads(made.stdout)
        cls.procs, cls.origins = [], {}
        for name, database in (("station", ["--db", cls.station_db]), ("line", ["--line-db", cls.line.url()])):
            cls.origins[name] = free_origin()
            with open(os.path.join(cls.work, name + ".log"), "ab") as log:
                cls.procs.append(subprocess.Popen(
                    [cls.report(), *database, "serve", "--http", cls.origins[name][len("http://"):]],
                    stdout=log, stderr=log, start_new_session=True))
        cls.browser = chromium(os.path.join(cls.work, "chromium"))
        cls.artifacts = os.path.join(ARGS.build, "artifacts")
        os.makedirs(cls.artifacts, exist_ok=True)
        for origin in cls.origins.values():
            WebDriverWait(None, 15, poll_frequency=0.1).until(lambda _: get(origin + "/healthz") == "ok\n")

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        for proc in cls.procs:
            stop(proc)
        cls.line.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    @staticmethod
    def report():
        return os.path.join(ARGS.build, "cli", "vek-report")

    def sql(self, name, query):
        """The rows of `query` in the station's file or on the line, every value as text (NULL as '')."""
        if name == "line":
            return self.line.rows(query)
        with sqlite3.connect("file:%s?mode=ro" % self.station_db, uri=True) as db:
            return [tuple("" if v is None else str(v) for v in row) for row in db.execute(query)]

    def show(self, url):
        self.browser.get(url)
        WebDriverWait(self.browser, 15, poll_frequency=0.1).until(
            lambda b: b.execute_script("return document.getElementById('view').dataset.ready === '1'"))
        return self.browser.execute_script("return document.getElementById('alert').hidden ? '' : "
                                           "document.getElementById('alert').innerText")

    def table(self, css):  # each row's header and cells as shown
        return self.browser.execute_script("""return [...document.querySelectorAll(arguments[0] + ' tbody tr')].map(
            tr => [...tr.querySelectorAll('th, td')].map(c => c.innerText.trim()).filter(t => t !== ''));""", css)

    def assert_accessible(self):
        with open(ARGS.axe) as axe:
            self.browser.execute_script(axe.read())
        self.assertEqual(self.browser.execute_async_script(AXE), [], self.browser.current_url)

    def test_overview_shows_what_sql_answers(self):
        period = "started_utc >= '2026-11-01T00:00:00Z' AND started_utc < '2026-12-01T00:00:00Z'"
        for name, origin in self.origins.items():
            with self.subTest(database=name):
                self.assertEqual(self.show(origin + "/?period=range&from=2026-11-01&to=2026-11-30"), "")
                finished = "result NOT IN ('running', 'no_job')"

                def percent(succeeded, all_finished):
                    return "%.1f %% (%s of %s)" % (100 * int(succeeded) / int(all_finished), succeeded, all_finished)
                by = "SELECT %s, sum(CASE WHEN result = 'succeeded' THEN 1 ELSE 0 END), count(*) FROM jobs WHERE " \
                     + period + " AND " + finished + " GROUP BY 1 ORDER BY 1"
                self.assertEqual(self.table("#yield-station"),
                                 [[s, percent(ok, n)] for s, ok, n in self.sql(name, by % "station")])
                self.assertEqual(len(self.table("#yield-station")), len(self.fixture["stations"]))
                self.assertEqual(self.table("#yield-product"),
                                 [[p, percent(ok, n)] for p, ok, n in self.sql(name, by % "product")])
                steps = self.sql(name, "SELECT failed_step, count(*) FROM jobs WHERE %s AND result IN %s GROUP BY 1 "
                                 "ORDER BY 2 DESC, 1" % (period, str(UNSUCCESSFUL)))
                self.assertEqual(self.table("#failures"), [list(row) for row in steps])
                self.assertGreater(len(steps), 3)
                durations = {}
                for station, seconds in self.sql(name, "SELECT station, duration_s FROM jobs WHERE %s AND "
                                                 "result = 'succeeded' ORDER BY 1, 2" % period):
                    durations.setdefault(station, []).append(float(seconds))

                def median(values):
                    middle = len(values) // 2
                    value = values[middle] if len(values) % 2 else (values[middle - 1] + values[middle]) / 2
                    return "%d:%02d" % divmod(int(value + 0.5), 60)  # halves up, as the page rounds
                self.assertEqual(self.table("#median"), [[s, median(v)] for s, v in sorted(durations.items())])
                total, ok, done = self.sql(name, "SELECT count(*), sum(CASE WHEN result = 'succeeded' THEN 1 ELSE 0 "
                                           "END), sum(CASE WHEN %s THEN 1 ELSE 0 END) FROM jobs WHERE %s" %
                                           (finished, period))[0]
                headline = self.browser.find_element("id", "headline").text
                self.assertEqual(headline, "%s jobs, yield %.1f %% (%s of %s finished)" % (
                    total, 100 * int(ok) / int(done), ok, done))
                days = self.sql(name, "SELECT substr(started_utc, 6, 5), count(*) FROM jobs WHERE %s GROUP BY 1 "
                                "ORDER BY 1" % period)
                shown = self.browser.execute_script("""return [...document.querySelectorAll('section')].find(
                    s => s.querySelector('h3').innerText.startsWith('Jobs per day')).querySelectorAll('details tr')""")
                per_day = [[c.get_attribute("textContent") for c in tr.find_elements("css selector", "th, td")]
                           for tr in shown[1:]]
                self.assertEqual([(d[0], str(sum(int(n) for n in d[1:]))) for d in per_day], days)
                self.assert_accessible()
                if name == "line":
                    self.browser.save_screenshot(os.path.join(self.artifacts, "report-overview.png"))
                    resources = self.browser.execute_script(
                        "return performance.getEntriesByType('resource').map(e => e.name)")
                    self.assertEqual([r for r in resources if not r.startswith(origin + "/")], [])

    def test_a_modules_backups_download_byte_for_byte(self):
        module = self.fixture["modules_with_backups"][1]  # one with a first and a newer backup
        for name, origin in self.origins.items():
            with self.subTest(database=name):
                self.assertEqual(self.show(origin + "/module?id=" + module), "")
                links = self.browser.execute_script("""return [...document.querySelectorAll('#backups tbody tr')].map(
                    tr => [tr.querySelector('.sha').innerText, tr.cells[3].innerText, tr.querySelector('a').href])""")
                self.assertEqual(len(links), 2)
                self.assertEqual([kept for _, kept, _ in links], ["newer", "first (as it arrived)"])
                for sha, _, href in links:
                    with urllib.request.urlopen(href, timeout=10) as reply:
                        body = reply.read()
                        self.assertEqual(reply.headers["Content-Disposition"], 'attachment; filename="backup.nvb"')
                    self.assertEqual(hashlib.sha256(body).hexdigest(), sha)
                    if name == "station":
                        with sqlite3.connect(self.station_db) as db:
                            stored = db.execute("SELECT bytes FROM nv_backups WHERE sha256 = ?", (sha,)).fetchone()[0]
                        self.assertEqual(body, stored)
                self.assert_accessible()

    def test_the_jobs_csv_equals_the_jobs_json_of_vek_report(self):
        station, image_set = self.fixture["stations"][2], self.fixture["image_sets"][1]
        module = self.fixture["modules_with_backups"][0]
        filters = [{"station": station, "failed": "1"}, {"module": module},
                   {"image_set": image_set, "since": "2026-11-20"}]
        for name, origin in self.origins.items():
            database = ["--db", self.station_db] if name == "station" else ["--line-db", self.line.url()]
            for query in filters:
                with self.subTest(database=name, filters=query):
                    args = [a for key, value in query.items() for a in
                            (["--failed"] if key == "failed" else ["--" + key.replace("_", "-"), value])]
                    lines = subprocess.run([self.report(), *database, "jobs", "--json", *args], check=True,
                                           capture_output=True, text=True).stdout.splitlines()
                    expected = [json.loads(line) for line in lines]
                    self.assertGreater(len(expected), 0)
                    url = origin + "/jobs?" + urllib.parse.urlencode(dict(query, per="10000", format="csv"))
                    rows = list(csv.DictReader(io.StringIO(get(url))))
                    self.assertEqual(len(rows), len(expected))
                    for row, job in zip(rows, expected):
                        self.assertEqual(list(row), list(job))
                        for key, value in job.items():
                            shown = row[key]
                            self.assertEqual(float(shown) if isinstance(value, float) else shown,
                                             "" if value is None else value if isinstance(value, float) else
                                             str(value), key)
                    self.assertEqual(self.show(origin + "/jobs?" + urllib.parse.urlencode(query)), "")
                    ids = self.browser.execute_script(
                        "return [...document.querySelectorAll('table.jobs tbody tr')].length")
                    self.assertEqual(ids, min(50, len(expected)))
            # The recall question: how many modules got the set, and how its jobs ended.
            self.assertEqual(self.show(origin + "/image-set?sha256=" + image_set), "")
            modules, = self.sql(name, "SELECT count(DISTINCT coalesce(imei, meid)) FROM jobs WHERE "
                                "image_set_sha256 = '%s'" % image_set)[0]
            results = self.sql(name, "SELECT count(*), result FROM jobs WHERE image_set_sha256 = '%s' GROUP BY 2 "
                               "ORDER BY 2" % image_set)
            self.assertEqual(self.browser.find_element("id", "headline").text, "%s modules, jobs: %s" % (
                modules, ", ".join("%s %s" % row for row in results)))
            self.assertEqual(len(self.browser.find_elements("css selector", "table.jobs tbody tr")), 50)
        self.assert_accessible()

    def test_z_a_stopped_line_database_is_said_plainly_and_read_again_once_back(self):
        origin = self.origins["line"]
        self.line.stop()
        try:
            alert = self.show(origin + "/jobs")
            self.assertTrue(alert.startswith("cannot read "), alert)
            self.assertNotIn(PASSWORD, alert)
            self.assertEqual(self.procs[1].poll(), None, "vek-report serve ended")
        finally:
            self.line.start()
        self.assertEqual(self.show(origin + "/jobs"), "")
        self.assertEqual(self.browser.execute_script(
            "return document.querySelectorAll('table.jobs tbody tr').length"), 50)
        with open(os.path.join(self.work, "line.log"), errors="replace") as log:
            said = log.read()
        self.assertNotIn(PASSWORD, said)
        self.assertIn("cannot read ", said)
        self.assertIn("the database answers again", said)


if __name__ == "__main__":
    ARGS, rest = page_test_arguments()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
