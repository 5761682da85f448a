#!/usr/bin/python3
"""Opens HTML exports made by the `quillery` host in headless Chromium.

A generated notebook with every feature is exported as a single page, with
frames, with a numbered table of contents and a style sheet, and with its
pictures and attachments as files; a hand-written hostile document (script
links, note IDs that differ only by a slash) as a single page and with frames.
Every page opened must show no console error, every in-page link must reach an
element of the page and every relative link a file that exists, and every
image must load. The frames tree must list every exported note, and clicking
an entry must show that note's page. Clicking a link of the hostile document
must run no script.

Usage: export_in_browser.py QUILLERY_PROGRAM. Exit status 77 (skipped) when
Chromium is not installed.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse

try:
    from selenium import webdriver
    from selenium.common.exceptions import UnexpectedAlertPresentException
    from selenium.webdriver.chrome.service import Service
except ImportError:  # reported below, unless there is no browser to drive
    webdriver = None

CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"
SKIPPED = 77

HOSTILE_DOC = """<!DOCTYPE Quillery-File>
<HTML>
<HEAD>
<meta content="text/html;charset=UTF-8" http-equiv="Content-Type">
<TITLE>Hostile</TITLE>
</HEAD>
<BODY>
<DL>
<DT><A name="a/b"></A>Slash note</DT>
<DD>
<A href="javascript:window.top.ran=1;alert(1)">one</A> <A href="JaVaScRiPt:window.top.ran=2">two</A>
<A href="vbscript:msgbox(3)">three</A> <A href="data:text/html,&lt;script&gt;alert(4)&lt;/script&gt;">four</A>
<A href="#ab">to ab</A>
</DD>
<DT><A name="ab"></A>Plain note</DT>
<DD>
text <A href="#a/b">to slash</A>
</DD>
</DL>
</BODY>
</HTML>
"""
HOSTILE_TEXTS = ["one", "two", "three", "four"]

# Collected by one script per page: broken in-page links, relative links and
# sources (resolved), and images that did not load.
PAGE_REPORT_JS = r"""
const report = {missingTargets: [], relative: [], brokenImages: []};
const hasTarget = (name) => document.getElementById(name) || document.getElementsByName(name).length > 0;
for (const a of document.querySelectorAll('a[href]')) {
  const href = a.getAttribute('href');
  if (href.startsWith('#')) {
    const name = decodeURIComponent(href.slice(1));
    if (name && !hasTarget(name)) report.missingTargets.push(href);
  } else if (!/^[a-zA-Z][a-zA-Z0-9+.-]*:/.test(href)) {
    report.relative.push(a.href);
  }
}
for (const img of document.images) {
  if (!/^[a-zA-Z][a-zA-Z0-9+.-]*:/.test(img.getAttribute('src') || '')) report.relative.push(img.src);
  if (!(img.complete && img.naturalWidth > 0)) report.brokenImages.push((img.getAttribute('src') || '').slice(0, 80));
}
return report;
"""


class Checker:
    def __init__(self, driver):
        self.driver = driver
        self.failures = []
        self.pages = 0

    def fail(self, text):
        self.failures.append(text)

    def console_errors(self, where):
        for entry in self.driver.get_log("browser"):
            if entry.get("level") == "SEVERE":
                self.fail("%s: console error: %s" % (where, entry.get("message")))

    def check_document(self, where):
        """Checks the document of the current frame."""
        report = self.driver.execute_script(PAGE_REPORT_JS)
        for href in report["missingTargets"]:
            self.fail("%s: in-page link %s has no target" % (where, href))
        for url in report["relative"]:
            path = file_path(url)
            if path is None or not os.path.exists(path):
                self.fail("%s: link or source %s names no file" % (where, url))
        for src in report["brokenImages"]:
            self.fail("%s: image %s did not load" % (where, src))
        self.pages += 1

    def check_page(self, path):
        self.driver.get(file_url(path))
        self.check_document(os.path.basename(path))
        self.console_errors(os.path.basename(path))


def file_url(path):
    return "file://" + urllib.parse.quote(os.path.abspath(path))


def file_path(url):
    parts = urllib.parse.urlsplit(url)
    if parts.scheme != "file":
        return None
    return urllib.parse.unquote(parts.path)


def run_host(program, *args):
    result = subprocess.run([program, "-q"] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise SystemExit("quillery %s failed (%d): %s" % (" ".join(args), result.returncode, result.stderr))


def note_ids(doc):
    """The ID of every note of a native document."""
    with open(doc, encoding="utf-8") as f:
        return re.findall(r'<DT>(?:<span[^>]*>)*<A name="([^"]*)"></A>', f.read())


def check_frames(checker, page, expected):  # expected: the note IDs
    """The frameset page: the tree lists every note; each entry opens its page."""
    driver = checker.driver
    name = os.path.basename(page)
    driver.get(file_url(page))
    checker.console_errors(name)
    driver.switch_to.frame("tree")
    entries = driver.execute_script(
        "return Array.from(document.querySelectorAll('a[id^=\"d_\"]')).map(a => [a.id, a.textContent, a.href]);")
    driver.switch_to.default_content()
    urls = [u for _, _, u in entries]
    if len(entries) != len(expected):
        checker.fail("%s: the tree lists %d entries, the document has %d notes" % (name, len(entries), len(expected)))
    if len(set(urls)) != len(urls):
        checker.fail("%s: two tree entries open the same page" % name)
    # Click through a spread of entries (all of them in a small tree).
    step = max(1, len(entries) // 40)
    for entry_id, title, url in entries[::step]:
        driver.switch_to.default_content()
        driver.switch_to.frame("tree")
        driver.find_element("id", entry_id).click()
        driver.switch_to.default_content()
        driver.switch_to.frame("main")
        # The main frame loads the page after the click; wait for it.
        shown = ["", ""]
        for _ in range(100):
            shown = driver.execute_script(
                "return [document.readyState == 'complete' ? document.location.href : '',"
                " (document.querySelector('h1') || {}).textContent || ''];")
            if shown[0] == url:
                break
            time.sleep(0.05)
        if shown[0] != url or shown[1].strip() != title.strip():
            checker.fail("%s: entry %r shows %s (%r)" % (name, title, shown[0], shown[1]))
    driver.switch_to.default_content()
    checker.console_errors(name)
    # Every note page on its own.
    for url in urls:
        path = file_path(url)
        if path is None or not os.path.exists(path):
            checker.fail("%s: tree entry %s names no file" % (name, url))
            continue
        checker.check_page(path)


def check_hostile_links(checker, page):
    """Clicking the script links of the hostile document runs nothing."""
    driver = checker.driver
    name = os.path.basename(page)
    for text in HOSTILE_TEXTS:
        driver.get(file_url(page))
        links = [a for a in driver.find_elements("tag name", "a") if a.text == text]
        if not links:
            checker.fail("%s: the link text %r is lost" % (name, text))
            continue
        href = links[0].get_attribute("href") or ""
        if re.match(r"\s*(javascript|vbscript|data:text)", href, re.I):
            checker.fail("%s: link %r keeps the live reference %s" % (name, text, href))
        before = driver.current_url
        # A script link runs after the click returns: alerts only mark the
        # page, and the check waits for the browser to settle.
        driver.execute_script("window.alert = window.confirm = function () { window.top.ran = 'alert'; };")
        try:
            links[0].click()
            ran = driver.execute_async_script(
                "const done = arguments[0]; setTimeout(() => done(window.top.ran || 0), 300);")
            now = driver.current_url
        except UnexpectedAlertPresentException as e:
            ran, now = "alert: %s" % e.alert_text, before
        if ran:
            checker.fail("%s: link %r ran its script (%s)" % (name, text, ran))
        if now != before:
            checker.fail("%s: link %r navigated to %s" % (name, text, now))
        checker.console_errors(name)


def check_hostile_links_if_present(checker, page):
    with open(page, encoding="utf-8") as f:
        if ">one</A>" in f.read():
            check_hostile_links(checker, page)


def main():
    if len(sys.argv) != 2:
        raise SystemExit("usage: export_in_browser.py QUILLERY_PROGRAM")
    program = os.path.abspath(sys.argv[1])
    if not os.path.exists(CHROMIUM):
        print("skipped: %s is not installed (scripts/setup installs it)" % CHROMIUM)
        return SKIPPED
    if webdriver is None:
        raise SystemExit("Selenium for /usr/bin/python3 is missing (scripts/setup installs python3-selenium)")

    work = tempfile.mkdtemp(prefix="quillery-browser-")
    try:
        nb = os.path.join(work, "nb.qyd")
        hostile = os.path.join(work, "hostile.qyd")
        css = os.path.join(work, "look.css")
        run_host(program, "generate", "260", nb)
        with open(hostile, "w", encoding="utf-8") as f:
            f.write(HOSTILE_DOC)
        with open(css, "w", encoding="utf-8") as f:
            f.write(".qy_toc { border: 1px solid #888; }\n.numbered { list-style-type: none; }\n")
        out = lambda name: os.path.join(work, name)
        run_host(program, "convert", nb, out("single.html"))
        run_host(program, "convert", "--frames", nb, out("frames.html"))
        run_host(program, "convert", "--toc", "3", "--numbering", "--style-sheet", css, nb, out("toc.html"))
        run_host(program, "convert", "--files", "--toc", "2", nb, out("files.html"))
        run_host(program, "convert", hostile, out("hostile.html"))
        run_host(program, "convert", "--frames", hostile, out("hostile_frames.html"))

        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    "--user-data-dir=" + os.path.join(work, "profile")):
            options.add_argument(arg)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        driver = webdriver.Chrome(service=Service(DRIVER), options=options)
        driver.set_page_load_timeout(30)
        checker = Checker(driver)
        try:
            for name in ("single.html", "toc.html", "files.html", "hostile.html"):
                checker.check_page(out(name))
            check_frames(checker, out("frames.html"), note_ids(nb))
            check_frames(checker, out("hostile_frames.html"), note_ids(hostile))
            check_hostile_links(checker, out("hostile.html"))
            hostile_pages = os.path.join(work, "hostile_frames_files", "notes")
            for page in sorted(os.listdir(hostile_pages)):
                if page.endswith(".html"):
                    check_hostile_links_if_present(checker, os.path.join(hostile_pages, page))
        finally:
            driver.quit()
        for text in checker.failures[:60]:
            print("FAIL " + text)
        print("%d pages checked, %d failures" % (checker.pages, len(checker.failures)))
        return 1 if checker.failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
