"""Checks of tessamer-summary's files that need a parser or a browser.

  check_outputs.py junit FILE TESTS FAILURES ERRORS SKIPPED [SKIPPED_TEXT...]
      parses FILE with junitparser and checks its counts and the attributes CI viewers read
  check_outputs.py markup FILE
      walks every text node and attribute of FILE: none may hold a control or invisible character
  check_outputs.py page CHROMIUM FILE SECTION,SECTION,... [SCREENSHOT_DIR]
      loads FILE in headless Chromium at 420 and 1400 pixels: no horizontal overflow, every
      section present, no console message
"""
import base64
import html.parser
import json
import os
import subprocess
import sys
import tempfile
import unicodedata
import xml.etree.ElementTree as ET


def fail(message):
    print(message, file=sys.stderr)
    sys.exit(1)


def check_junit(path, tests, failures, errors, skipped, skipped_texts):
    import junitparser

    xml = junitparser.JUnitXml.fromfile(path)
    suites = list(xml) if isinstance(xml, junitparser.JUnitXml) else [xml]
    if len(suites) != 1:
        fail(f"{len(suites)} test suites, expected one")
    suite = suites[0]
    counts = (suite.tests, suite.failures, suite.errors, suite.skipped)
    if counts != (tests, failures, errors, skipped):
        fail(f"tests, failures, errors, skipped = {counts}, expected {(tests, failures, errors, skipped)}")
    cases = list(suite)
    if len(cases) != tests:
        fail(f"{len(cases)} test cases, the suite says {tests}")
    kinds = {"failure": 0, "error": 0, "skipped": 0}
    messages = []
    for case in cases:
        for result in case.result:
            kind = type(result).__name__.lower()
            kinds[kind] = kinds.get(kind, 0) + 1
            messages.append((result.message or "") + "\n" + (result.text or ""))
    if (kinds["failure"], kinds["error"], kinds["skipped"]) != (failures, errors, skipped):
        fail(f"results by kind {kinds} do not match the counts")
    for text in skipped_texts:
        if not any(text in m for m in messages):
            fail(f"no result carries {text!r}")
    # What GitLab, Jenkins, Azure DevOps and the common GitHub actions read.
    root = ET.parse(path).getroot()
    for element in [root] + root.findall("testsuite"):
        for attribute in ("name", "tests", "failures", "errors", "skipped", "time"):
            if attribute not in element.attrib:
                fail(f"<{element.tag}> without {attribute}")
        float(element.attrib["time"])
    for case in root.iter("testcase"):
        for attribute in ("name", "classname", "time"):
            if not case.attrib.get(attribute):
                fail(f"<testcase> without {attribute}")
        for result in list(case):
            if result.tag in ("failure", "error") and not (result.attrib.get("message") and result.attrib.get("type")):
                fail(f"<{result.tag}> without message or type")
            if result.tag == "skipped" and not result.attrib.get("message"):
                fail("<skipped> without message")


def hidden(text):
    """The characters of `text` that nobody would see in a page."""
    return [c for c in text if c not in "\n" and (unicodedata.category(c) in ("Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp")
                                                  or (unicodedata.category(c) == "Zs" and c != " "))]


def check_markup(path):
    problems = []

    class Walker(html.parser.HTMLParser):
        def handle_starttag(self, tag, attrs):
            for name, value in attrs:
                if value and hidden(value):
                    problems.append(f"<{tag} {name}> holds {hidden(value)!r}")

        handle_startendtag = handle_starttag

        def handle_data(self, data):
            if hidden(data):
                problems.append(f"text {data!r} holds {hidden(data)!r}")

    with open(path, encoding="utf-8") as page:
        Walker(convert_charrefs=True).feed(page.read())
    if problems:
        fail("\n".join(problems))


class Chromium:
    """A headless Chromium driven over its DevTools pipe (file descriptors 3 and 4)."""

    def __init__(self, program):
        to_browser, self.write_end = os.pipe()
        self.read_end, from_browser = os.pipe()
        self.profile = tempfile.TemporaryDirectory()

        def descriptors():
            a, b = os.dup(to_browser), os.dup(from_browser)
            os.dup2(a, 3)
            os.dup2(b, 4)

        self.process = subprocess.Popen(
            [program, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--user-data-dir=" + self.profile.name, "--remote-debugging-pipe", "about:blank"],
            preexec_fn=descriptors, close_fds=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser)
        os.close(from_browser)
        self.pending = b""
        self.next_id = 0
        self.events = []

    def receive(self):
        while b"\0" not in self.pending:
            chunk = os.read(self.read_end, 65536)
            if not chunk:
                fail("chromium closed its DevTools pipe")
            self.pending += chunk
        message, self.pending = self.pending.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, session=None, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self.write_end, json.dumps(message).encode() + b"\0")
        while True:
            reply = self.receive()
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    fail(f"{method}: {reply['error']}")
                return reply["result"]
            self.events.append(reply)

    def wait_for(self, event):
        while not any(e.get("method") == event for e in self.events):
            self.events.append(self.receive())

    def close(self):
        self.call("Browser.close")
        self.process.wait(timeout=30)
        self.profile.cleanup()


def check_page(program, path, sections, screenshots):
    browser = Chromium(program)
    try:
        for width in (420, 1400):
            target = browser.call("Target.createTarget", url="about:blank")["targetId"]
            session = browser.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
            for domain in ("Page", "Runtime", "Log"):
                browser.call(domain + ".enable", session)
            browser.call("Emulation.setDeviceMetricsOverride", session, width=width, height=900, deviceScaleFactor=1,
                         mobile=width < 600)
            browser.events.clear()
            browser.call("Page.navigate", session, url="file://" + os.path.abspath(path))
            browser.wait_for("Page.loadEventFired")
            probe = "JSON.stringify({scroll: document.documentElement.scrollWidth, view: window.innerWidth, " \
                    "body: document.body.getBoundingClientRect().right, " \
                    "right: Math.max(...[...document.querySelectorAll('body *')].map(e => e.getBoundingClientRect().right)), " \
                    "ids: [...document.querySelectorAll('section[id]')].map(s => s.id)})"
            found = json.loads(browser.call("Runtime.evaluate", session, expression=probe, returnByValue=True)["result"]["value"])
            if found["scroll"] > found["view"]:
                fail(f"at {width} px the page is {found['scroll']} px wide")
            if found["right"] > found["body"] + 0.5:
                fail(f"at {width} px an element reaches {found['right']} px, beyond the page's {found['body']} px")
            missing = [s for s in sections if s not in found["ids"]]
            if missing:
                fail(f"at {width} px sections {missing} are missing (found {found['ids']})")
            console = [e for e in browser.events if e.get("method") in ("Runtime.consoleAPICalled", "Runtime.exceptionThrown",
                                                                         "Log.entryAdded")]
            if console:
                fail(f"at {width} px the console says {console}")
            if screenshots:
                shot = browser.call("Page.captureScreenshot", session, format="png", captureBeyondViewport=True)
                with open(os.path.join(screenshots, f"summary-{width}px.png"), "wb") as out:
                    out.write(base64.b64decode(shot["data"]))
            browser.call("Target.closeTarget", targetId=target)
    finally:
        browser.close()


def main(args):
    if args[0] == "junit":
        check_junit(args[1], *map(int, args[2:6]), args[6:])
    elif args[0] == "markup":
        check_markup(args[1])
    elif args[0] == "page":
        check_page(args[1], args[2], args[3].split(","), args[4] if len(args) > 4 else None)
    else:
        fail(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
