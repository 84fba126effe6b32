"""qelkit console in headless Chromium against the substitute platform:
adding accounts by QR code, an expired login, a pull with its chart, forgetting
an account, and the requests the console refuses. Screenshots of each page go
to QELKIT_CONSOLE_SHOTS."""

import csv
import json
import os
import sqlite3
import sys
import tempfile
import urllib.parse

import pytest
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "support"))
from console_browser import WAIT, Console, Sim, chromium, decode_qr, wait_until  # noqa: E402

SHOTS = os.environ.get("QELKIT_CONSOLE_SHOTS") or tempfile.mkdtemp(prefix="console-shots-")
DAYS = ["2026-02-27", "2026-02-28", "2026-03-01"]
DOWNLOAD = "/micro/content/cgi-bin/mmfinderassistant-bin/component/download-finder-native-drama-statistic"


class Page:
    def __init__(self, root):
        os.makedirs(SHOTS, exist_ok=True)
        self.sim = self.console = self.driver = None
        self.work_dir = tempfile.mkdtemp(dir=root)
        self.ids = {}  # account index -> stored account id
        try:
            self.sim = Sim(tempfile.mkdtemp(dir=root))
            self.nicknames = [a["nickname"] for a in self.sim.control("accounts")["accounts"]]
            self.console = Console(self.work_dir, self.sim)
            self.driver = chromium(tempfile.mkdtemp(dir=root))
            self.driver.get(self.console.url)
            wait_until(self.driver, lambda d: self.text("connection") == "connected", "the page never connected")
        except BaseException:
            self.close()
            raise

    def find(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css)

    def text(self, element_id):
        return self.driver.find_element(By.ID, element_id).text

    def row(self, account):
        rows = self.driver.find_elements(By.CSS_SELECTOR, f'tr[data-account="{account}"]')
        return rows[0] if rows else None

    def row_state(self, account):
        """The account's row as shown: (state, name), or None."""
        return self.driver.execute_script(
            "const r = [...document.querySelectorAll('tr[data-account]')].find(r => r.dataset.account === arguments[0]);"
            "return r ? [r.querySelector('.state').dataset.state, r.querySelector('.name').textContent] : null;", account)

    def accounts_page(self):
        self.find("#nav-accounts").click()
        wait_until(self.driver, lambda d: self.find("#accounts-page").is_displayed(), "no accounts page")

    def press(self, account, action):
        """Clicks an action of the account's row (the row may be redrawn meanwhile)."""
        self.accounts_page()
        wait_until(self.driver, lambda d: self.row(account).find_element(
            By.CSS_SELECTOR, f'[data-action="{action}"]').click() or True, f"no {action} button")

    def shot(self, name):
        self.driver.save_screenshot(os.path.join(SHOTS, name))

    def add_account(self, index, shot=None):
        """Adds the platform's account `index` through the page's QR code."""
        if index in self.ids:
            return self.ids[index]
        self.accounts_page()
        self.driver.execute_script("window.notReloaded = true")
        self.find("#add-account").click()
        qr = wait_until(self.driver, lambda d: d.find_elements(By.CSS_SELECTOR, "#login-qr svg"), "no QR code")[0]
        link = decode_qr(qr.screenshot_as_png)
        assert link.startswith(self.sim.origin + "/mobile/confirm_login.html?token="), link
        if shot:
            self.shot(shot)
        token = urllib.parse.parse_qs(urllib.parse.urlparse(link).query)["token"][0]
        account = str(self.sim.control("confirm", token=token, account=index)["uniqId"])
        wait_until(self.driver, lambda d: "Stored as" in self.text("login-state"), "the login was not reported")
        self.find("#login-close").click()
        wait_until(self.driver, lambda d: self.row_state(account) == ["live", self.nicknames[index]],
                   "the account did not turn up live with its name")
        assert self.driver.execute_script("return window.notReloaded") is True
        self.ids[index] = account
        return account

    def pull(self, first, last, shot=None):
        """Pulls the days through the page; returns the summary it shows."""
        self.accounts_page()
        for field, day in (("pull-from", first), ("pull-to", last)):
            self.driver.execute_script("arguments[0].value = arguments[1]", self.find("#" + field), day)
        self.find("#pull-range button").click()
        if shot:
            wait_until(self.driver, lambda d: "account-days done, now" in self.text("pull-text"), "no progress shown")
            self.driver.execute_script("document.getElementById('pull-panel').scrollIntoView()")
            self.shot(shot)
        span = first if first == last else f"{first} to {last}"
        wait_until(self.driver, lambda d: f"Pulled {span}:" in self.text("pull-summary"), "no summary", seconds=300)
        return self.text("pull-summary")

    def chart(self, account):
        """The account's income chart over DAYS: day -> its bar's data-* attributes."""
        self.driver.get(f"{self.console.origin}/#/stats/{account}?from={DAYS[0]}&to={DAYS[-1]}")
        shows = f"{account} {DAYS[0]} {DAYS[-1]}"
        bars = wait_until(self.driver, lambda d: d.execute_script(
            "const c = document.getElementById('chart');"
            "return c.dataset.shows === arguments[0] && [...c.querySelectorAll('g.day')].map(g => "
            "Object.assign({}, g.dataset));", shows), "no chart of " + shows)
        assert len(bars) == len(DAYS)
        return {bar["day"]: bar for bar in bars}

    def close(self):
        """Stops what was started; the console must end cleanly (also under the sanitizers)."""
        if self.driver:
            self.driver.quit()
        code = self.console.stop() if self.console else 0
        if self.sim:
            self.sim.stop()
        assert code == 0, f"qelkit console ended with {code}; see {self.work_dir}/console.err"


@pytest.fixture(scope="module")
def page(tmp_path_factory):
    p = Page(str(tmp_path_factory.mktemp("console")))
    try:
        yield p
    finally:
        p.close()


def test_an_account_added_by_scanning_appears_live_with_its_name(page):
    account = page.add_account(0, shot="add-account.png")
    assert page.driver.execute_script("return document.cookie") == ""  # the token cookie is HttpOnly
    page.shot("accounts.png")
    page.driver.set_window_size(390, 844)
    page.shot("accounts-phone.png")
    assert page.driver.execute_script("return document.documentElement.scrollWidth") <= 390  # no sideways scrolling
    page.driver.set_window_size(1280, 800)
    with open(os.path.join(page.work_dir, "json", "data.json")) as f:
        assert account in json.load(f)


def test_the_keyboard_opens_a_login_and_escape_ends_it(page):
    page.accounts_page()
    body = page.find("body")
    for _ in range(12):
        body.send_keys(Keys.TAB)
        if page.driver.execute_script("return document.activeElement.id") == "add-account":
            break
    page.driver.switch_to.active_element.send_keys(Keys.ENTER)
    wait_until(page.driver, lambda d: d.find_elements(By.CSS_SELECTOR, "#login-qr svg"), "no QR code")
    assert login_children(page.console)  # the login's completion runs
    page.driver.switch_to.active_element.send_keys(Keys.ESCAPE)
    wait_until(page.driver, lambda d: not login_children(page.console), "closing the dialog left the login running")
    assert not page.find("#login-dialog").is_displayed()


def test_a_pull_shows_progress_and_charts_the_database_totals(page):
    accounts = [page.add_account(0), page.add_account(2)]
    page.sim.control("latency", ms=150)  # long enough to see the progress
    # One page carries texts that a spreadsheet would run as formulas.
    formulas = {"date": DAYS[0], "finderQelid": "+12", "dramaName": '=HYPERLINK("https://example.invalid")',
                "isAttachment": 0, "feedReadCount": 1, "dramaReadCount": 1, "iaaProfit": 1, "finderNickname": "@SUM(1)"}
    page.sim.control("script", path=DOWNLOAD, reply={"errCode": 0, "data": {"continueFlag": 1, "dataRows": [formulas]}})
    try:
        page.pull(DAYS[0], DAYS[-1], shot="pull.png")
    finally:
        page.sim.control("latency", ms=0)

    detail_csv = []
    with sqlite3.connect(os.path.join(page.work_dir, "qelkit.sqlite")) as db:
        for account in accounts:
            expected = {day: (iaa, mount) for day, (iaa, mount, _) in pulled_days(db, account).items()}
            charted = {day: (int(bar["iaa"]), int(bar["mount"])) for day, bar in page.chart(account).items()}
            assert charted == expected
            status, income = page.console.request("GET", f"/api/income.csv?account={account}&from={DAYS[0]}&to={DAYS[-1]}",
                                               {"Cookie": f"qelkit_console_{page.console.port}={page.console.token}"})
            assert status == 200 and income.splitlines()[1:] == [f"{d},ok,{i},{m},{r}," for d, (i, m, r) in
                                                             pulled_days(db, account).items()]
            assert any(v != (0, 0) for v in charted.values())
            status, text = page.console.request("GET", f"/api/detail.csv?account={account}&from={DAYS[0]}&to={DAYS[-1]}",
                                                {"Cookie": f"qelkit_console_{page.console.port}={page.console.token}"})
            assert status == 200
            detail_csv += list(csv.reader(text.splitlines()))[1:]
    assert [r[3:5] + r[10:] for r in detail_csv if "HYPERLINK" in r[4]] == [
        ["'+12", "'" + formulas["dramaName"], "'@SUM(1)"]]
    page.driver.set_window_size(1280, 1300)  # the chart and both tables
    page.shot("stats.png")
    page.driver.set_window_size(1280, 800)


def test_an_expired_login_turns_expired_and_keeps_its_name(page):
    account = page.add_account(1)
    sessions = [s for s in page.sim.control("logins")["sessions"] if str(s["uniqId"]) == account and s["valid"]]
    page.sim.control("expire_session", session_id=sessions[-1]["session_id"])
    page.press(account, "check")
    wait_until(page.driver, lambda d: page.row_state(account) == ["expired", page.nicknames[1]],
               "the row did not turn expired, keeping its name")
    source = page.driver.page_source
    assert not [s for s in page.sim.control("logins")["sessions"] if s["session_id"] in source]

    # Its days then fail: named in the summary and marked in the chart, not drawn as zero.
    summary = page.pull(DAYS[0], DAYS[0])
    assert "1 failed" in summary and f"{account} on {DAYS[0]}:" in summary and "expired" in summary
    day = page.chart(account)[DAYS[0]]
    assert day["state"] == "failed" and "iaa" not in day


def test_forgetting_an_account_asks_first(page):
    account = page.add_account(0)
    page.press(account, "forget")
    assert page.find("#confirm-dialog").is_displayed() and page.nicknames[0] in page.text("confirm-text")
    page.find("#confirm-no").click()
    assert page.row(account) is not None
    page.press(account, "forget")
    page.find("#confirm-yes").click()
    wait_until(page.driver, lambda d: page.row(account) is None, "the row stayed")
    with open(os.path.join(page.work_dir, "json", "data.json")) as f:
        assert account not in json.load(f)


def test_requests_without_the_token_or_from_elsewhere_are_refused(page):
    c = page.console
    cookie = {"Cookie": f"qelkit_console_{c.port}={c.token}"}
    status, html = c.request("GET", "/", cookie)
    assert status == 200
    page_token = html.split('name="qelkit-page" content="')[1].split('"')[0]
    post = dict(cookie, **{"Origin": c.origin, "X-Qelkit-Page": page_token, "Content-Type": "application/json"})

    assert c.request("POST", "/api/accounts/check", post, "{}")[0] == 202  # the same request, whole
    assert c.request("GET", "/api/accounts")[0] == 403  # no token
    assert c.request("GET", "/api/accounts", {"Cookie": f"qelkit_console_{c.port}={'0' * len(c.token)}"})[0] == 403
    assert c.request("GET", "/?token=" + "0" * len(c.token))[0] == 403
    assert c.request("POST", "/api/accounts/check", dict(post, Origin="http://evil.example"), "{}")[0] == 403
    assert c.request("POST", "/api/accounts/check", {k: v for k, v in post.items() if k != "X-Qelkit-Page"}, "{}")[0] == 403
    assert c.request("POST", "/api/accounts/check", {k: v for k, v in post.items() if k != "Origin"}, "{}")[0] == 403
    assert c.request("GET", "/api/accounts", dict(cookie, Host=f"evil.example:{c.port}"))[0] == 403
    status, body = c.request("POST", "/api/pull", post, '{"from": "2026-02-30"}')
    assert status == 400 and json.loads(body) == {"error": "the days must be dates YYYY-MM-DD"}


def login_children(console):
    """The console's child processes (a login's completion runs in one)."""
    children = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as f:
                if int(f.read().rsplit(")", 1)[1].split()[1]) == console.process.pid:
                    children.append(int(entry))
        except (OSError, ValueError, IndexError):
            pass
    return children


def pulled_days(db, account):
    """Each pulled day's IAA and mount income and row count for the account, from the history database."""
    rows = db.execute("SELECT day, SUM(iaa_income), SUM(mount_income), COUNT(*) FROM detail_rows WHERE account = ? "
                      "AND day BETWEEN ? AND ? GROUP BY day ORDER BY day", (account, DAYS[0], DAYS[-1])).fetchall()
    return {day: (iaa, mount, count) for day, iaa, mount, count in rows}
