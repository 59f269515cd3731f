#!/usr/bin/env python3
"""Opens corvanel-eval's static site in headless Chromium, driven over the
DevTools protocol on a pipe, and checks it as a reader would meet it: every
page loads from the disk with no console error and no request outside its
folder, the leaderboards' numbers are the CSV's, every link and picture
resolves, and a click on a column's header sorts the per-page table.

  check_site.py EVAL MKWORKSPACE SCRATCH

Exits 77 (skipped) when no Chromium can run here."""

import base64
import csv
import json
import os
import pathlib
import shutil
import subprocess
import sys
import urllib.parse

SKIP = 77


class Browser:
    """Chromium with --remote-debugging-pipe: commands on fd 3, replies on fd 4."""

    def __init__(self, exe, profile):
        to_r, self.to_w = os.pipe()
        self.from_r, from_w = os.pipe()
        # Chromium reads fd 3 and writes fd 4 in the child.
        self.proc = subprocess.Popen(
            [exe, "--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             f"--user-data-dir={profile}", "about:blank"],
            pass_fds=sorted({3, 4, to_r, from_w}), preexec_fn=lambda: (os.dup2(to_r, 3), os.dup2(from_w, 4)),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_r)
        os.close(from_w)
        self.buffer = b""
        self.next_id = 0
        self.events = []
        target = self.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        for domain in ("Page", "Network", "Runtime", "Log"):
            self.call(domain + ".enable", session=True)

    def message(self):
        while b"\0" not in self.buffer:
            chunk = os.read(self.from_r, 1 << 16)
            if not chunk:
                raise RuntimeError("Chromium closed its pipe")
            self.buffer += chunk
        text, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(text)

    def call(self, method, params=None, session=False):
        self.next_id += 1
        command = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            command["sessionId"] = self.session
        os.write(self.to_w, json.dumps(command).encode() + b"\0")
        while True:
            reply = self.message()
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            self.events.append(reply)

    def open(self, url):
        self.events = []
        self.call("Page.navigate", {"url": url}, session=True)
        while not any(e.get("method") == "Page.loadEventFired" for e in self.events):
            self.events.append(self.message())

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True}, session=True)
        return result["result"].get("value")

    def close(self):
        self.proc.kill()
        self.proc.wait()


def tables(browser):
    return browser.evaluate(
        "JSON.stringify([...document.querySelectorAll('table')].map(t => ({id: t.id, "
        "rows: [...t.rows].map(r => [...r.cells].map(c => c.textContent))})))")


def check_page(browser, page, site, problems):
    browser.open(page.as_uri())
    for e in browser.events:
        method, params = e.get("method"), e.get("params", {})
        if method == "Network.requestWillBeSent":
            url = params["request"]["url"]
            path = pathlib.Path(urllib.parse.unquote(urllib.parse.urlparse(url).path))
            if not url.startswith("file://") or site not in path.parents:
                problems.append(f"{page.name}: request outside the site: {url}")
        elif method == "Network.loadingFailed":
            problems.append(f"{page.name}: a load failed: {params.get('errorText')}")
        elif method == "Runtime.exceptionThrown":
            problems.append(f"{page.name}: script error: {params['exceptionDetails'].get('text')}")
        elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "warning"):
            problems.append(f"{page.name}: console {params['type']}")
        elif method == "Log.entryAdded" and params["entry"]["level"] == "error":
            problems.append(f"{page.name}: {params['entry']['text']}")
    links = json.loads(browser.evaluate(
        "JSON.stringify([...document.querySelectorAll('a[href]')].map(a => a.href)"
        ".concat([...document.images].map(i => i.src)))"))
    for url in links:
        target = pathlib.Path(urllib.parse.unquote(urllib.parse.urlparse(url).path))
        if not url.startswith("file://") or site not in target.parents or not target.is_file():
            problems.append(f"{page.name}: link that does not resolve inside the site: {url}")
    return links


def main():
    evaluator, mkworkspace, scratch = sys.argv[1:4]
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if not chromium:
        print("skipped: no chromium here (scripts/install-deps.sh installs it)")
        return SKIP
    scratch = pathlib.Path(scratch).resolve()
    shutil.rmtree(scratch, ignore_errors=True)
    ws = scratch / "ws"
    subprocess.run([mkworkspace, str(ws), "--pages", "3"], check=True, stdout=subprocess.DEVNULL)
    parts = ws / "parts"
    shutil.copytree(ws / "results", parts / "method")
    shutil.copytree(ws / "gt", parts / "perfect")
    shutil.copytree(ws / "results", parts / "one page short")
    for level in ("lines", "words"):
        next((parts / "one page short" / level).iterdir()).unlink()
    site = scratch / "site"
    board = scratch / "board.csv"
    run = subprocess.run([evaluator, "rank", str(ws), str(parts), "--html", str(site), "--error-images",
                          str(site / "errors"), "--csv", str(board)], capture_output=True, text=True)
    if run.returncode != 0:
        print(run.stderr)
        return 1
    # The same run with a sweep, for the plot.
    swept = scratch / "swept"
    subprocess.run([evaluator, "rank", str(ws), str(parts), "--html", str(swept), "--sweep", "80:100:10"],
                   check=True, capture_output=True)

    try:
        browser = Browser(chromium, scratch / "profile")
    except (OSError, RuntimeError) as e:
        print(f"skipped: chromium cannot run here ({e})")
        return SKIP
    problems = []
    try:
        index = site / "index.html"
        links = check_page(browser, index, site, problems)
        boards = {t["id"]: t["rows"] for t in json.loads(tables(browser))}
        browser.call("Emulation.setDeviceMetricsOverride",
                     {"width": 1300, "height": 1100, "deviceScaleFactor": 1, "mobile": False}, session=True)
        shot = browser.call("Page.captureScreenshot", {"format": "png"}, session=True)
        (scratch / "leaderboard.png").write_bytes(base64.b64decode(shot["data"]))

        # Every number on the boards is the CSV's, rounded as the board shows it.
        rows = {r["participant"]: r for r in csv.DictReader(board.open(newline=""))}
        columns = {"overall": {"overall": "overall", "95% low": "overall low", "95% high": "overall high",
                               "above next": "overall above next", "lines FM": "lines FM", "words FM": "words FM"}}
        for level in ("lines", "words"):
            columns[level] = {c: f"{level} {c}" for c in ("N", "M", "one2one", "DR", "RA", "FM", "pages",
                                                          "submitted", "rank")}
            columns[level].update({"95% low": f"{level} FM low", "95% high": f"{level} FM high",
                                   "above next": f"{level} above next"})
        checked = 0
        for board_id, mapping in columns.items():
            header, *body = boards[board_id]
            if len(body) != len(rows):
                problems.append(f"board {board_id}: {len(body)} rows for {len(rows)} participants")
            for cells in body:
                shown = dict(zip(header, cells))
                mine = rows[shown["participant"]]
                if board_id == "overall" and shown["rank"] != mine["rank"]:
                    problems.append(f"overall rank of {shown['participant']}")
                for column, key in mapping.items():
                    value = shown[column]
                    if value in ("", "---"):
                        ok = mine[key] == ""
                    else:
                        digits = len(value.split(".")[1]) if "." in value else 0
                        ok = mine[key] != "" and float(value) == round(float(mine[key]), digits)
                    checked += 1
                    if not ok:
                        problems.append(f"board {board_id}, {shown['participant']}, {column}: {value} "
                                        f"against the CSV's {mine[key]}")
        if checked < 40:
            problems.append(f"only {checked} numbers compared")
        if "one page short" not in rows or rows["one page short"]["lines submitted"] != "2":
            problems.append("the participant short of a page does not show 2 of 3 pages submitted")

        pages = sorted({pathlib.Path(urllib.parse.unquote(urllib.parse.urlparse(u).path)) for u in links
                        if u.endswith(".html") and not u.endswith("index.html")})
        if len(pages) != 3:
            problems.append(f"{len(pages)} participant pages linked, 3 expected")
        for page in pages:
            check_page(browser, page, site, problems)
            images = browser.evaluate("document.images.length")
            submitted = "short" not in page.name
            if images != (6 if submitted else 4):
                problems.append(f"{page.name}: {images} error images")
            # Thumbnails, each linking to its full picture.
            pairs = json.loads(browser.evaluate("JSON.stringify([...document.images].map(i => "
                                                "[i.src, i.closest('a') ? i.closest('a').href : '']))"))
            for src, href in pairs:
                if not src.endswith(".errors.thumb.png") or href != src.replace(".thumb.png", ".png"):
                    problems.append(f"{page.name}: {src} is not a thumbnail linking to {href}")
            # A click on "lines FM" sorts ascending, a second descending.
            fm = [r[0] for r in json.loads(tables(browser))[0]["rows"][1:]]
            column = json.loads(tables(browser))[0]["rows"][0].index("lines FM")
            order = []
            for _ in range(2):
                browser.evaluate(f"document.querySelectorAll('#pages th')[{column}].click()")
                order.append([float(r[column]) if r[column] != "---" else -1
                              for r in json.loads(tables(browser))[0]["rows"][1:]])
            if order[0] != sorted(order[0]) or order[1] != sorted(order[1], reverse=True) or len(fm) != 3:
                problems.append(f"{page.name}: sorting by lines FM gave {order}")
        check_page(browser, swept / "index.html", swept, problems)
        plot = browser.evaluate("(() => { const i = document.querySelector('img.plot');"
                                " return i ? i.complete && i.naturalWidth > 0 : false; })()")
        if not plot:
            problems.append("the sweep's plot is not shown")
    finally:
        browser.close()
    for p in problems:
        print(p)
    print(f"{checked} numbers compared; screenshot {scratch / 'leaderboard.png'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
