# SPDX-License-Identifier: MIT
"""The serve command's pages in headless Chromium: each page loads, runs its script
without a console error, and its links and filters lead where they say.

Environment: MARROWVANE_DAT_TOOL (the tool), MARROWVANE_DAT_MAKE_SAMPLE (the test kit's
sample writer), CHROMIUM and CHROMEDRIVER (binaries), and MARROWVANE_DAT_SCREENSHOTS, a
directory for the screenshots (a temporary one when unset).
"""
import os
import pathlib
import signal
import subprocess

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

TOOL = os.path.abspath(os.environ["MARROWVANE_DAT_TOOL"])
MAKE_SAMPLE = os.path.abspath(os.environ["MARROWVANE_DAT_MAKE_SAMPLE"])


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    scratch = tmp_path_factory.mktemp("serve")
    sample, changed = scratch / "sample.dat", scratch / "changed.dat"
    subprocess.run([MAKE_SAMPLE, sample], check=True)
    subprocess.run([MAKE_SAMPLE, changed, "--bad", "trailing"], check=True)
    # Relative names, so the pages (and screenshots) show no scratch directory.
    process = subprocess.Popen([TOOL, "serve", sample.name, changed.name, "--port", "0"],
                               stdout=subprocess.PIPE, text=True, cwd=scratch)
    line = process.stdout.readline()
    assert " at http://" in line, line
    yield line.split(" at ")[-1].strip().rstrip("/")
    process.send_signal(signal.SIGINT)
    # Ctrl-C ends the server the way the signal asks, after it stopped listening.
    assert process.wait(timeout=10) in (0, -signal.SIGINT)


@pytest.fixture(scope="module")
def screenshots(tmp_path_factory):
    where = os.environ.get("MARROWVANE_DAT_SCREENSHOTS")
    path = pathlib.Path(where) if where else tmp_path_factory.mktemp("screenshots")
    path.mkdir(parents=True, exist_ok=True)
    return path


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = os.environ.get("CHROMIUM", "/usr/bin/chromium")
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--disable-dev-shm-usage", "--window-size=1280,960",
                     "--force-prefers-reduced-motion", "--hide-scrollbars"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    service = Service(os.environ.get("CHROMEDRIVER", "/usr/bin/chromedriver"))
    driver = webdriver.Chrome(service=service, options=options)
    yield driver
    driver.quit()


def console_errors(browser):
    return [entry["message"] for entry in browser.get_log("browser")
            if entry["level"] == "SEVERE"]


def wait_ready(browser):
    WebDriverWait(browser, 20).until(
        lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-ready") == "true")
    assert console_errors(browser) == []
    assert browser.find_elements(By.CSS_SELECTOR, ".error") == [], \
        [e.text for e in browser.find_elements(By.CSS_SELECTOR, ".error")]


def open_page(browser, server, path):
    browser.get(server + path)
    wait_ready(browser)


def texts(browser, selector):
    return [e.text for e in browser.find_elements(By.CSS_SELECTOR, selector)]


def test_overview_shows_header_types_and_chart(browser, server, screenshots):
    open_page(browser, server, "/")
    assert "Portal" in texts(browser, ".fields dd")
    types = texts(browser, "tbody tr td:first-child")
    assert "Font" in types and types[-1] == "total"
    # Two bars per type, one for stored and one for decompressed bytes.
    assert len(browser.find_elements(By.CSS_SELECTOR, "svg.chart rect")) == 2 * (len(types) - 1)
    browser.save_screenshot(str(screenshots / "overview.png"))


def test_entries_filter_page_and_open_a_font(browser, server, screenshots):
    open_page(browser, server, "/entries")
    assert browser.find_element(By.ID, "range").text == "1–100 of 3000"
    browser.find_element(By.ID, "next").click()
    WebDriverWait(browser, 10).until(
        lambda d: d.find_element(By.ID, "range").text == "101–200 of 3000")
    browser.save_screenshot(str(screenshots / "entries.png"))

    Select(browser.find_element(By.ID, "f-type")).select_by_value("Font")
    browser.find_element(By.CSS_SELECTOR, "#filters button[type=submit]").click()
    WebDriverWait(browser, 10).until(lambda d: d.find_element(By.ID, "range").text == "1–6 of 6")
    assert texts(browser, "#entries tbody td:nth-child(2)") == ["Font"] * 6
    assert "type=Font" in browser.current_url

    browser.find_element(By.ID, "f-prefix").send_keys("0600")
    Select(browser.find_element(By.ID, "f-type")).select_by_value("")
    Select(browser.find_element(By.ID, "f-sort")).select_by_value("size")
    Select(browser.find_element(By.ID, "f-order")).select_by_value("desc")
    browser.find_element(By.CSS_SELECTOR, "#filters button[type=submit]").click()
    WebDriverWait(browser, 10).until(
        lambda d: all(t.startswith("0600") for t in texts(d, "#entries tbody td:first-child")))
    sizes = [int(t) for t in texts(browser, "#entries tbody td:nth-child(3)")]
    assert sizes == sorted(sizes, reverse=True)
    assert console_errors(browser) == []

    open_page(browser, server, "/entries?type=Font")
    browser.find_element(By.LINK_TEXT, "40000001").click()
    wait_ready(browser)
    assert browser.find_element(By.CSS_SELECTOR, "h1").text == "40000001 Font"
    glyphs = browser.find_elements(By.CSS_SELECTOR, "#font tbody tr")
    assert len(glyphs) == 95
    browser.save_screenshot(str(screenshots / "font.png"))


def test_file_page_pages_its_hex_dump_and_links_downloads(browser, server):
    open_page(browser, server, "/entries?sort=size&order=desc")
    first = browser.find_element(By.CSS_SELECTOR, "#entries tbody a.id")
    size = int(browser.find_element(By.CSS_SELECTOR, "#entries tbody td:nth-child(3)").text)
    first.click()
    wait_ready(browser)
    assert browser.find_element(By.ID, "hex-range").text == f"bytes 0–4095 of {size}"
    assert browser.find_element(By.ID, "hex").text.startswith("00000000  ")
    browser.find_element(By.ID, "hex-next").click()
    WebDriverWait(browser, 10).until(
        lambda d: d.find_element(By.ID, "hex-range").text == f"bytes 4096–8191 of {size}")
    assert browser.find_element(By.ID, "hex").text.startswith("00001000  ")
    download = browser.find_element(By.ID, "download").get_attribute("href")
    assert download.endswith("?download=1")


def test_font_ids_link_to_their_files(browser, server):
    open_page(browser, server, "/file?id=40000001")
    links = browser.find_elements(By.CSS_SELECTOR, "#font .fields a.id")
    assert links and links[0].text == "40000001"
    assert len(links) == 3, "the font's own id and both surface ids are links"
    links[1].click()
    WebDriverWait(browser, 10).until(
        lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-ready") == "true")
    assert console_errors(browser) == []


def test_diff_page_links_both_sides(browser, server, screenshots):
    open_page(browser, server, "/diff")
    assert "0 added, 0 removed, 1 changed, 2999 unchanged" in browser.page_source
    browser.save_screenshot(str(screenshots / "diff.png"))
    browser.find_element(By.CSS_SELECTOR, "a.side[href*='archive=b']").click()
    wait_ready(browser)
    assert "archive=b" in browser.current_url
    assert browser.find_element(By.ID, "archive-name").text.startswith("B: ")
    assert browser.find_element(By.CSS_SELECTOR, "h1").text == "40000003 Font"


def test_an_unknown_id_shows_an_error_without_a_script_error(browser, server):
    browser.get(server + "/file?id=zz")
    WebDriverWait(browser, 10).until(
        lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-ready") == "true")
    assert "not a file id" in browser.find_element(By.CSS_SELECTOR, ".error").text
    # The failed request itself is logged; a script error would be too.
    assert all("/api/ls" in message for message in console_errors(browser))
