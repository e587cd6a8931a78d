"""The search page in a real browser: Debian's Chromium, driven by selenium
through Debian's chromedriver, against a real `tessarin serve` on a loopback
port. Nothing downloads a browser or a driver.

Skipped when Chromium, its driver or selenium is missing, except under
TESSARIN_FULL_CI=1, where they must be there (.ci/run installs them).
A screenshot of the page is written where `artifacts_dir` says.
"""

import os
import shutil
import time
import urllib.parse

import pytest

from tessarin import Index
from tessarin.storage.sample import load_sample_index

REQUIRED = os.environ.get("TESSARIN_FULL_CI") == "1"
SAMPLE = load_sample_index()


def _find(*names):
    for name in names:
        path = shutil.which(name) or (name if os.path.exists(name) else None)
        if path:
            return path
    return None


CHROMIUM = _find("chromium", "chromium-browser", "/usr/lib/chromium/chromium")
DRIVER = _find("chromedriver", "/usr/lib/chromium/chromedriver")
try:
    from selenium import webdriver
    from selenium.common.exceptions import TimeoutException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    webdriver = None

try:
    import starlette
    import uvicorn
except ImportError:
    starlette = uvicorn = None
FOUND = {
    "chromium": CHROMIUM,
    "chromedriver": DRIVER,
    "selenium": webdriver,
    "starlette": starlette,
    "uvicorn": uvicorn,
}
MISSING = [name for name, found in FOUND.items() if not found]
if MISSING and REQUIRED:
    raise RuntimeError(f"TESSARIN_FULL_CI=1 but the browser tests lack {', '.join(MISSING)}")
pytestmark = [
    pytest.mark.skipif(bool(MISSING), reason=f"missing {', '.join(MISSING)}"),
    # The page lists completions (/complete) on every keystroke.
    pytest.mark.skipif(not hasattr(Index, "complete"), reason="Index.complete is not there yet"),
]


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in (
        "--headless=new",
        "--no-sandbox",
        "--disable-dev-shm-usage",
        "--disable-gpu",
        "--window-size=1000,900",
        "--force-device-scale-factor=1",
        "--disable-extensions",
        "--no-first-run",
        "--lang=en-US",
    ):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(
        options=options, service=webdriver.ChromeService(executable_path=DRIVER)
    )
    driver.set_page_load_timeout(30)
    yield driver
    driver.quit()


@pytest.fixture
def page(sample_server, browser):
    browser.get(sample_server.url + "/")
    wait_for(browser, lambda d: "4,000 terms" in d.find_element(By.ID, "footer").text)
    return browser


def wait_for(driver, condition, seconds=15):
    try:
        return WebDriverWait(driver, seconds, poll_frequency=0.05).until(condition)
    except TimeoutException:
        raise AssertionError(f"the page never got there; it shows:\n{shown(driver)}") from None


def shown(driver):
    return driver.find_element(By.TAG_NAME, "main").text


def type_slowly(box, text, pause=0.06):
    """Keystroke by keystroke, about as fast as a person types."""
    for key in text:
        box.send_keys(key)
        time.sleep(pause)


def suggestions(driver):
    """The terms listed, if the list is open (read in one step: the page
    redraws the list as answers arrive)."""
    return driver.execute_script("""
        const list = document.getElementById("suggestions");
        return list.hidden ? [] : [...list.children].map((item) => item.dataset.term);
    """)


def listed(server, text, max_dist=1):
    """What the page should list for `text`: the server's completions and
    corrections of it, merged by the page's rule (each line once, at its
    lesser distance; closest, then most searched, then by text; none more
    than one typo further than the first; 8 at most)."""
    q = urllib.parse.quote(text)
    lines = {}
    for c in server.get(f"/complete?q={q}&limit=8")[1]["completions"]:
        lines.setdefault(c["text"], (c["distance"], -c["count"]))
    for s in server.get(f"/suggest?q={q}&max_dist={max_dist}&limit=8")[1]["suggestions"]:
        if s["term"] not in lines or s["distance"] < lines[s["term"]][0]:
            lines[s["term"]] = (s["distance"], -s["count"])
    found = sorted(lines, key=lambda line: (*lines[line], line))
    return [line for line in found if lines[line][0] <= lines[found[0]][0] + 1][:8]


def videos(driver, text, max_dist=1):
    """The videos shown, once they answer `text` at `max_dist` (else None)."""
    query, shown_dist, ids = driver.execute_script("""
        const results = document.getElementById("results");
        return [results.dataset.query, results.dataset.maxDist,
                [...results.querySelectorAll(".id")].map((e) => e.textContent)];
    """)
    return ids if (query, shown_dist) == (text, str(max_dist)) else None


def expected_videos(text, max_dist=1):
    return [m.video for m in SAMPLE.search(text, max_dist, 10)]


def test_browser_typing_a_misspelt_word_shows_terms_and_videos(page, sample_server, artifacts_dir):
    box = page.find_element(By.ID, "q")
    type_slowly(box, "resturant")
    wanted = listed(sample_server, "resturant")
    assert "restaurant" in wanted
    wait_for(
        page,
        lambda d: (
            suggestions(d) == wanted and videos(d, "resturant") == expected_videos("resturant")
        ),
    )
    # The correction is marked: the "a" the user left out, in the list and above the videos.
    marks = page.find_elements(
        By.CSS_SELECTOR, '#suggestions li[data-term="restaurant"] mark, #correction mark'
    )
    assert [m.text for m in marks] == ["a", "a"]
    assert "you typed “resturant”" in page.find_element(By.ID, "correction").text
    scores = page.find_elements(By.CSS_SELECTOR, "#results .score b")
    assert scores[0].text == f"{SAMPLE.search('resturant', 1, 1)[0].score:.3f}"

    path = os.path.join(artifacts_dir, "search-page.png")
    assert page.save_screenshot(path)
    print(f"screenshot: {path}")

    # Same origin only, and nothing went wrong in the page.
    origins = page.execute_script(
        "return performance.getEntriesByType('resource').map(e => new URL(e.name).origin)"
    )
    assert set(origins) <= {page.execute_script("return location.origin")}
    assert [e for e in page.get_log("browser") if e["level"] == "SEVERE"] == []


def test_browser_arrows_and_enter_pick_a_suggestion(page, sample_server):
    box = page.find_element(By.ID, "q")
    type_slowly(box, "cats")
    wanted = listed(sample_server, "cats")
    wait_for(page, lambda d: suggestions(d) == wanted)
    assert len(wanted) >= 2

    def active():
        return box.get_attribute("aria-activedescendant")

    box.send_keys(Keys.ARROW_DOWN, Keys.ARROW_DOWN)
    assert active() == "suggestion-1"
    box.send_keys(Keys.ARROW_UP, Keys.ARROW_UP)  # wraps round to the last
    assert active() == f"suggestion-{len(wanted) - 1}"
    box.send_keys(Keys.ARROW_DOWN, Keys.ARROW_DOWN, Keys.ENTER)
    chosen = wanted[1]
    wait_for(
        page,
        lambda d: (
            box.get_attribute("value") == chosen and videos(d, chosen) == expected_videos(chosen)
        ),
    )
    assert suggestions(page) == [] and box.get_attribute("aria-expanded") == "false"

    box.send_keys(Keys.BACKSPACE)  # typing again brings the list back; Escape closes it
    wait_for(page, lambda d: suggestions(d) == listed(sample_server, chosen[:-1]))
    box.send_keys(Keys.ESCAPE)
    assert suggestions(page) == []


def test_browser_fast_typing_ends_on_the_last_text(page, sample_server):
    # Keys faster than the debounce, then a change of distance by keyboard:
    # whatever answers arrive late, the page shows the last text's.
    box = page.find_element(By.ID, "q")
    box.send_keys("definately")
    wait_for(page, lambda d: videos(d, "definately") == expected_videos("definately"))
    radio = page.find_element(By.CSS_SELECTOR, 'input[name="max_dist"][value="1"]')
    radio.send_keys(Keys.ARROW_RIGHT)  # to 2
    box.send_keys(Keys.END, Keys.BACKSPACE * 5, "itly")
    wait_for(
        page,
        lambda d: (
            box.get_attribute("value") == "definitly"
            and videos(d, "definitly", 2) == expected_videos("definitly", 2)
            and suggestions(d) == listed(sample_server, "definitly", 2)
        ),
    )
    assert page.execute_script("return location.search") == "?q=definitly"


def test_browser_late_answers_are_dropped(page, sample_server):
    # The answers for "resta" arrive 600 ms late, and cannot be aborted: they
    # land after those for "restaurant" and must not replace them.
    page.execute_script("""
        const fetchNow = window.fetch;
        window.lateAnswers = 0;
        window.fetch = (url, options) => fetchNow(url).then(async (response) => {
            if (String(url).includes("q=resta&")) {
                await new Promise((done) => setTimeout(done, 600));
                window.lateAnswers += 1;
            }
            return response;
        });
    """)
    box = page.find_element(By.ID, "q")
    box.send_keys("resta")
    time.sleep(0.3)  # past the debounce: the slow requests are out
    box.send_keys("urant")
    wait_for(page, lambda d: d.execute_script("return window.lateAnswers") == 3)
    time.sleep(0.1)
    assert videos(page, "restaurant") == expected_videos("restaurant")
    assert suggestions(page) == listed(sample_server, "restaurant")


def test_browser_completes_a_word_as_it_is_typed_and_the_keyboard_picks_it(
    page, sample_server, artifacts_dir
):
    box = page.find_element(By.ID, "q")
    type_slowly(box, "restau")
    wanted = listed(sample_server, "restau")
    wait_for(
        page,
        lambda d: suggestions(d) == wanted and videos(d, "restau") == expected_videos("restau"),
    )
    assert "restaurant" in wanted
    # What was typed as it is, the rest of the term in bold.
    item = page.find_element(By.CSS_SELECTOR, '#suggestions li[data-term="restaurant"]')
    assert item.find_element(By.CSS_SELECTOR, ".term").text == "restaurant"
    assert item.find_element(By.CSS_SELECTOR, ".term .rest").text == "rant"

    time.sleep(0.3)  # the videos' entrance, for the screenshot
    path = os.path.join(artifacts_dir, "completing.png")
    assert page.save_screenshot(path)
    print(f"screenshot: {path}")

    box.send_keys(*[Keys.ARROW_DOWN] * (wanted.index("restaurant") + 1), Keys.ENTER)
    wait_for(
        page,
        lambda d: (
            box.get_attribute("value") == "restaurant"
            and videos(d, "restaurant") == expected_videos("restaurant")
        ),
    )
    assert suggestions(page) == [] and box.get_attribute("aria-expanded") == "false"


def test_browser_swapped_letters_count_one_typo_when_asked(page):
    # "rset": one swap from "rest", two edits without transpositions.
    box = page.find_element(By.ID, "q")
    box.send_keys("rset")

    def shows(swaps):
        wanted = [m.video for m in SAMPLE.search("rset", 1, 10, transpositions=swaps)]
        return lambda d: (
            videos(d, "rset") == wanted
            and d.find_element(By.ID, "results").get_attribute("data-transpositions")
            == str(swaps).lower()
        )

    wait_for(page, shows(False))
    box.send_keys(Keys.ESCAPE)  # the list closed, the control is in sight
    page.find_element(By.ID, "swaps").click()
    wait_for(page, shows(True))


PNG = bytes.fromhex(  # one white pixel
    "89504e470d0a1a0a0000000d4948445200000001000000010802000000907753de"
    "0000000c4944415408d763f8ffff3f0005fe02fe0def46b80000000049454e44ae426082"
)


@pytest.fixture(scope="module")
def pictures():
    """A second origin serving a picture at any path, as a CDN would."""
    import http.server
    import threading

    class Picture(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header("content-type", "image/png")
            self.send_header("content-length", str(len(PNG)))
            self.end_headers()
            self.wfile.write(PNG)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Picture)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()


@pytest.fixture(scope="module")
def catalog_server(serve_module, pictures, tmp_path_factory):
    """The sample served with a catalogue of all but the best video for
    "music", every other one in French, thumbnails from `pictures`."""
    import json

    ranked = [m.video for m in SAMPLE.search("music", 1)]
    path = tmp_path_factory.mktemp("catalog") / "videos.jsonl"
    path.write_text(
        "".join(
            json.dumps(
                {
                    "video": v,
                    "title": f"Music video {k}",
                    "language": ["en", "fr"][k % 2],
                    "thumbnail": f"{pictures}/{k}.png",
                }
            )
            + "\n"
            for k, v in enumerate(ranked)
            if k
        )
    )
    return serve_module("--catalog", str(path)), ranked


def test_browser_shows_titles_and_thumbnails_and_applies_a_filter(
    browser, catalog_server, pictures, artifacts_dir
):
    server, ranked = catalog_server
    browser.get(server.url + "/")
    wait_for(browser, lambda d: d.find_element(By.ID, "filter").is_displayed())
    browser.find_element(By.ID, "q").send_keys("music")

    def shown_videos(d):
        return d.execute_script("""
            return [...document.querySelectorAll("#results .video")].map((item) => [
                item.querySelector(".id").textContent,
                item.querySelector(".title").textContent,
                [...item.querySelectorAll(".thumb img")].map((i) => i.complete && i.naturalWidth),
            ]);
        """)

    wait_for(browser, lambda d: [v[0] for v in shown_videos(d)] == ranked)
    found = shown_videos(browser)
    # The video missing from the catalogue shows plainly; the others their
    # titles and loaded thumbnails (the policy lets their host in).
    assert found[0][1].startswith("Video ") and found[0][2] == []
    assert [v[1] for v in found[1:]] == [f"Music video {k}" for k in range(1, len(ranked))]
    wait_for(browser, lambda d: all(v[2] == [1] for v in shown_videos(d)[1:]))

    Select = pytest.importorskip("selenium.webdriver.support.ui").Select
    Select(browser.find_element(By.ID, "filter-column")).select_by_value("language")
    browser.find_element(By.ID, "filter-values").send_keys("fr")
    wanted = [v for k, v in enumerate(ranked) if k % 2]
    wait_for(browser, lambda d: [v[0] for v in shown_videos(d)] == wanted)
    assert page_problems(browser) == []
    path = os.path.join(artifacts_dir, "catalogue.png")
    assert browser.save_screenshot(path)
    print(f"screenshot: {path}")

    origins = browser.execute_script(
        "return performance.getEntriesByType('resource').map(e => new URL(e.name).origin)"
    )
    assert set(origins) == {server.url, pictures}


def page_problems(driver):
    return [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]
