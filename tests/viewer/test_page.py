"""`kvdepth view` in a real browser (headless Chromium) against the camera simulator."""

import http.client
import json
import os
import re
import subprocess

import pytest
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select

from conftest import Viewer, await_line, open_browser, tool, wait_until
from png16 import gray16_at

STREAMS = ("depth", "ir_left", "ir_right", "color")
LASER_POWER = "setting-00400000-1500"  # laser.power: 0 to 100
DEPTH_MODE = "setting-00010000-3108"  # depth.image mode: the camera takes it only while stopped


def frame_index(browser, stream):
    return int(browser.find_element(By.ID, f"frame-{stream}").get_attribute("data-index") or -1)


def set_value_box(browser, setting_id, text):
    box = browser.find_element(By.CSS_SELECTOR, f"#{setting_id} .value-box")
    box.send_keys(Keys.CONTROL, "a")
    box.send_keys(text, Keys.TAB)  # as a user types over the value; leaving the box sends it
    return box


def pause_capture(browser):
    button = browser.find_element(By.ID, "toggle-capture")
    if button.text == "Stop":
        button.click()
    wait_until(browser, lambda: button.text == "Start", message="capture did not stop")


def resume_capture(browser):
    button = browser.find_element(By.ID, "toggle-capture")
    if button.text == "Start":
        button.click()
    wait_until(browser, lambda: button.text == "Stop", message="capture did not start")


def snapshot(browser):
    """Presses the snapshot button; returns the frame number it saved."""
    result = browser.find_element(By.ID, "snapshot-result")
    before = result.text
    browser.find_element(By.ID, "snapshot").click()
    wait_until(browser, lambda: result.text != before and result.text, message="no snapshot answer")
    assert result.get_attribute("data-ok") == "true", result.text
    return int(re.search(r"Saved frame (\d+)", result.text).group(1))


def test_every_stream_advances_and_the_device_is_shown(browser, artifacts):
    wait_until(browser, lambda: all(frame_index(browser, s) > 0 for s in STREAMS), message="no frames shown")
    first = {s: frame_index(browser, s) for s in STREAMS}
    wait_until(browser, lambda: all(frame_index(browser, s) > first[s] + 10 for s in STREAMS),
               message=f"frame indices stuck at {first}")
    device = browser.find_element(By.ID, "device").text
    assert "KVSIM0000001" in device and "kvsim-2.3.0" in device
    assert re.search(r"viewer CPU \d+% of one core", browser.find_element(By.ID, "cpu").text)
    browser.save_screenshot(os.path.join(artifacts, "viewer.png"))


def test_depth_under_the_pointer_is_the_frames_depth(browser, viewer):
    wait_until(browser, lambda: frame_index(browser, "depth") > 0)
    pause_capture(browser)  # the frame under the pointer then stays the one the snapshot saves
    try:
        canvas = browser.find_element(By.ID, "canvas-depth")
        ActionChains(browser).move_to_element_with_offset(canvas, -60, -40).perform()
        readout = browser.find_element(By.ID, "depth-readout")
        wait_until(browser, lambda: readout.get_attribute("data-depth") is not None, message=readout.text)
        x, y, depth, index = (int(readout.get_attribute(f"data-{k}")) for k in ("x", "y", "depth", "index"))
        assert depth > 0 and f"{depth} mm" in readout.text
        number = snapshot(browser)
        saved = json.load(open(os.path.join(viewer.out, f"frame_{number:06d}.json")))
        assert [i["index"] for i in saved["images"] if i["stream"] == "depth"] == [index]
        assert gray16_at(os.path.join(viewer.out, f"frame_{number:06d}_depth.png"), x, y) == depth
    finally:
        resume_capture(browser)


def test_snapshot_writes_the_files_capture_writes(browser, viewer):
    wait_until(browser, lambda: frame_index(browser, "depth") > 0)
    number = snapshot(browser)
    prefix = f"frame_{number:06d}"
    saved = json.load(open(os.path.join(viewer.out, prefix + ".json")))
    expected = {f"{prefix}_{name}" for name in ("depth.png", "depth_colormap.png", "ir_left.png", "ir_right.png",
                                                 "color.png", "points.ply")}
    assert expected <= set(saved["files"])
    for name in saved["files"]:
        assert os.path.getsize(os.path.join(viewer.out, name)) > 0, name


def test_a_refused_value_shows_the_error_and_the_cameras_value(browser):
    wait_until(browser, lambda: browser.find_elements(By.ID, LASER_POWER), message="no laser power control")
    box = set_value_box(browser, LASER_POWER, "500")
    error = browser.find_element(By.CSS_SELECTOR, f"#{LASER_POWER} .error")
    wait_until(browser, lambda: error.text, message="no error shown for 500")
    assert box.get_attribute("value") == "80"  # the camera kept its value and the control says so


def test_a_control_changes_the_cameras_setting(tmp_path):
    # A simulator of our own, so that its state can be read back through the library after the viewer.
    proc = subprocess.Popen([os.environ["KVSIM"], "--listen", "127.0.8.11"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    try:
        await_line(proc, [], "listening on", 30)
        viewer = Viewer(["--ip", "127.0.8.11"])
        browser = open_browser(viewer.url)
        try:
            wait_until(browser, lambda: browser.find_elements(By.ID, LASER_POWER), message="no laser power control")
            slider = browser.find_element(By.CSS_SELECTOR, f"#{LASER_POWER} input[type=range]")
            assert (slider.get_attribute("min"), slider.get_attribute("max")) == ("0", "100")
            box = set_value_box(browser, LASER_POWER, "37")
            wait_until(browser, lambda: slider.get_attribute("value") == "37", message="slider did not follow")
            assert box.get_attribute("value") == "37"
            assert browser.find_element(By.CSS_SELECTOR, f"#{LASER_POWER} .error").text == ""
            # An image mode is changed while the page streams: the viewer stops, applies and starts again.
            Select(browser.find_element(By.CSS_SELECTOR, f"#{DEPTH_MODE} select")).select_by_visible_text("1280x960")
            canvas = browser.find_element(By.ID, "canvas-depth")
            wait_until(browser, lambda: canvas.get_attribute("width") == "1280", message="depth not at 1280x960")
            before = frame_index(browser, "depth")
            wait_until(browser, lambda: frame_index(browser, "depth") > before + 3, message="no frames after the change")
            assert browser.find_element(By.CSS_SELECTOR, f"#{DEPTH_MODE} .error").text == ""
        finally:
            browser.quit()
            viewer.stop()
        for feature, value in (("laser.power", "37"), ("depth.image_mode", "1280x960 (5243840)")):
            got = tool("get", "--ip", "127.0.8.11", feature)
            assert got.returncode == 0 and got.stdout.strip() == value, got.stderr
    finally:
        proc.terminate()
        proc.wait(timeout=30)


def request(url, method, path, headers, body=None):
    host, port = re.match(r"http://([\d.]+):(\d+)/", url).groups()
    conn = http.client.HTTPConnection(host, int(port), timeout=10)
    conn.putrequest(method, path, skip_host=True)
    for name, value in headers.items():
        conn.putheader(name, value)
    payload = json.dumps(body).encode() if body is not None else b""
    conn.putheader("Content-Length", str(len(payload)))
    conn.endheaders(payload)
    try:
        status = conn.getresponse().status
    except http.client.RemoteDisconnected:
        status = 0  # closed without an answer
    conn.close()
    return status


@pytest.mark.parametrize("method,path,host,origin,status", [
    ("GET", "/api/info", "own", None, 200),
    ("GET", "/api/info", "own", "own", 200),
    ("GET", "/api/info", "own", "http://evil.example", 403),
    ("POST", "/api/setting", "own", "http://evil.example", 403),
    ("POST", "/api/capture", "own", "null", 403),
    ("GET", "/api/info", "evil.example", None, 403),           # a DNS name rebound to our address
    ("GET", "/api/info", None, None, 403),
    ("GET", "/ws", "own", "http://evil.example", 403),          # WebSocket upgrade from another site
    ("GET", "/../../etc/passwd", "own", None, 404),
    ("GET", "/api/nothing", "own", None, 404),
])
def test_only_requests_addressed_to_the_viewer_are_served(viewer, method, path, host, origin, status):
    own = viewer.url[len("http://"):-1]
    headers = {}
    if host:
        headers["Host"] = own if host == "own" else host
    if origin:
        headers["Origin"] = f"http://{own}" if origin == "own" else origin
    if path == "/ws":
        headers.update({"Upgrade": "websocket", "Connection": "Upgrade", "Sec-WebSocket-Version": "13",
                        "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ=="})
    body = {"component": 0x00400000, "feature": 0x1500, "value": "0"} if method == "POST" else None
    got = request(viewer.url, method, path, headers, body)
    assert got == status


def test_the_viewer_reports_its_cpu_use_at_the_end():
    viewer = Viewer(["--sim", "--sim-address", "127.0.8.12"])
    summary = viewer.stop()
    assert re.search(r"CPU \d+\.\d% of one core on average", summary)
