"""The chat page in a real browser: headless Chromium (Debian's chromium,
chromium-driver and python3-selenium) loads it from tovrel, shows what TCP
clients send and sends what is typed. With TOVREL_PAGE_SCREENSHOT set, a
screenshot at a phone's width is saved there (docs/websocket-page.png)."""

import os
import shutil
import time

import pytest

from conftest import IO_TIMEOUT, IS_WINE, free_port

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"

pytestmark = [
    pytest.mark.skipif(not os.path.exists(CHROMEDRIVER) or not os.path.exists(CHROMIUM),
                       reason="chromium and chromium-driver are not installed"),
    pytest.mark.skipif(IS_WINE, reason="the Windows build has no WebSocket support"),
]


@pytest.fixture
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--no-first-run", "--window-size=412,860"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    service = webdriver.ChromeService(executable_path=CHROMEDRIVER) \
        if hasattr(webdriver, "ChromeService") else None
    from selenium.webdriver.chrome.service import Service
    driver = webdriver.Chrome(service=service or Service(CHROMEDRIVER), options=options)
    try:
        yield driver
    finally:
        driver.quit()


def lines(driver):
    return [li.text for li in driver.find_elements(By.CSS_SELECTOR, "#log li:not(.note)")]


def test_page_shows_and_sends_messages(server_factory, browser):
    ws_port = free_port()
    server = server_factory(args=["{port}", "--ws-port", str(ws_port)])
    tcp = server.connect()
    for text in ("Welcome to the room", "Messages from TCP clients show here"):
        tcp.send_frame(text.encode())
        tcp.expect_frame(text.encode())

    browser.get(f"http://127.0.0.1:{ws_port}/")
    wait = WebDriverWait(browser, IO_TIMEOUT)
    wait.until(lambda d: d.find_element(By.ID, "state").text == "connected")
    # The history, oldest first.
    wait.until(lambda d: lines(d)[:2] == ["Welcome to the room",
                                          "Messages from TCP clients show here"])

    tcp.send_frame("héllo from a TCP client".encode())
    tcp.expect_frame("héllo from a TCP client".encode())
    wait.until(lambda d: "héllo from a TCP client" in lines(d))

    field = browser.find_element(By.ID, "text")
    field.send_keys("and hello from the browser")
    browser.find_element(By.ID, "send").click()
    tcp.expect_frame(b"and hello from the browser")
    wait.until(lambda d: "and hello from the browser" in lines(d))
    assert field.get_attribute("value") == ""

    # Readable at a phone's width: nothing wider than the screen.
    assert browser.execute_script(
        "return document.documentElement.scrollWidth <= window.innerWidth")
    # The page's own script and style ran under its policy: no violation.
    problems = [entry["message"] for entry in browser.get_log("browser")
                if "Content Security Policy" in entry["message"]]
    assert not problems, problems

    shot = os.environ.get("TOVREL_PAGE_SCREENSHOT")
    if shot:
        time.sleep(0.3)
        browser.save_screenshot(shot)

    # Given a token in the fragment, the page sends it as "@AUTH" first thing.
    browser.get(f"http://127.0.0.1:{ws_port}/?again#token=s3cret")
    tcp.expect_frame(b"@AUTH s3cret")
    wait.until(lambda d: d.find_element(By.ID, "state").text == "connected")

    # The server going away shows as disconnected, and the page reconnects.
    tcp.ping_barrier()
    clients = server.count("New client connected")
    server.stop()
    wait.until(lambda d: d.find_element(By.ID, "state").text == "disconnected")
    assert clients >= 2


def notes(driver):
    return [li.text for li in driver.find_elements(By.CSS_SELECTOR, "#log li.note")]


def test_resuming_page_shows_every_message_once(server_factory, browser):
    """With --resume-window the page resumes after a visit elsewhere, a reload
    and a restart of its lone server: every message shows once, and the
    restart, which the server cannot account for, shows as one note."""
    ws_port = free_port()
    args = ["{port}", "--ws-port", str(ws_port), "--resume-window", "100"]
    server = server_factory(args=args)
    tcp = server.connect()
    shown = []

    def say(text):
        tcp.send_frame(text.encode())
        tcp.expect_frame(text.encode())
        shown.append(text)

    page = f"http://127.0.0.1:{ws_port}/"
    wait = WebDriverWait(browser, IO_TIMEOUT)
    say("before the visit")
    browser.get(page)
    wait.until(lambda d: lines(d) == shown)

    # Away for more messages than the history holds: the page comes back to
    # all of them, and not to the history it is sent on admission as well.
    browser.get("about:blank")
    for n in range(5):
        say(f"while away {n}")
    browser.get(page)
    wait.until(lambda d: lines(d) == shown)
    browser.refresh()
    wait.until(lambda d: d.find_element(By.ID, "state").text == "connected")
    say("after the reload")
    wait.until(lambda d: lines(d) == shown)
    # A resume typed in the field resumes from where the page stands.
    field = browser.find_element(By.ID, "text")
    field.send_keys("@RESUME")
    browser.find_element(By.ID, "send").click()
    say("after a typed resume")
    wait.until(lambda d: lines(d) == shown)
    assert notes(browser) == []

    port = server.port
    server.stop()
    wait.until(lambda d: d.find_element(By.ID, "state").text == "disconnected")
    server = server_factory(port=port, args=args)
    tcp = server.connect()
    say("after the restart")
    # The reconnect waits a random part of its backoff.
    WebDriverWait(browser, 3 * IO_TIMEOUT).until(lambda d: lines(d) == shown)
    missed = [n for n in notes(browser) if "missed" in n]
    assert missed == ["some messages may have been missed"]


def test_listen_only_page_disables_its_field(server_factory, browser, tmp_path):
    tokens = tmp_path / "tokens"
    tokens.write_text("speaker\nwatcher listen\n")
    ws_port = free_port()
    server = server_factory(args=["{port}", "--ws-port", str(ws_port),
                                  "--token-file", str(tokens)])
    tcp = server.connect()
    tcp.send_frame(b"@AUTH speaker")
    tcp.send_frame(b"for the audience")
    tcp.expect_frame(b"for the audience")

    browser.get(f"http://127.0.0.1:{ws_port}/#token=watcher")
    wait = WebDriverWait(browser, IO_TIMEOUT)
    wait.until(lambda d: "for the audience" in lines(d))
    field = browser.find_element(By.ID, "text")
    field.send_keys("from the audience")
    browser.find_element(By.ID, "send").click()
    wait.until(lambda d: d.find_element(By.ID, "state").text == "listen only")
    assert not field.is_enabled()
    assert not browser.find_element(By.ID, "send").is_enabled()
    tcp.ping_barrier()  # what the page sent never reached the room
    assert "from the audience" not in lines(browser)
