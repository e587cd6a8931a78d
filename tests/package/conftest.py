"""Fixtures of the package's tests: the sample index, and a real `tessarin
serve` process on a loopback port for the server's and the browser's tests.
(Plain values that several files share are in samples.py.)"""

import json
import os
import re
import signal
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest

from tessarin import Index
from tessarin.storage.sample import load_sample_index


class ServerProcess:
    """`python -m tessarin serve ARGS --port 0`; its logs go to files.
    `on_address(server)` runs as soon as the server has printed its address,
    before it answers."""

    def __init__(self, tmp_path, *args, on_address=None):
        self.out = tmp_path / "serve.out"
        self.err = tmp_path / "serve.err"
        with open(self.out, "wb") as out, open(self.err, "wb") as err:
            self.process = subprocess.Popen(
                [
                    sys.executable,
                    "-m",
                    "tessarin",
                    "serve",
                    *args,
                    "--host",
                    "127.0.0.1",
                    "--port",
                    "0",
                ],
                stdout=out,
                stderr=err,
                stdin=subprocess.DEVNULL,
            )
        self.url = self._wait_for_address()
        if on_address is not None:
            on_address(self)
        self.wait_until(lambda: self.get("/health")[0] == 200, "the server never answered")

    def _wait_for_address(self):
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            found = re.search(r"at (http://127\.0\.0\.1:\d+)/", self.err.read_text())
            if found:
                return found[1]
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        self.stop()
        raise AssertionError(f"tessarin serve did not start:\n{self.err.read_text()}")

    def get(self, target, timeout=10):
        """(status, parsed JSON body) of GET target; (None, error) if no answer."""
        try:
            with urllib.request.urlopen(self.url + target, timeout=timeout) as response:
                return response.status, json.load(response)
        except urllib.error.HTTPError as error:
            return error.code, json.load(error)
        except (OSError, ValueError) as error:
            return None, error

    def wait_until(self, condition, what, seconds=30):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if condition():
                return
            assert self.process.poll() is None, f"the server died:\n{self.logs()}"
            time.sleep(0.05)
        raise AssertionError(f"{what}:\n{self.logs()}")

    def logs(self):
        return self.err.read_text() + self.out.read_text()

    def signal(self, number):
        self.process.send_signal(number)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return self.process.returncode


def _servers(folder):
    started = []

    def start(*args, **kwargs):
        server = ServerProcess(folder(), *args, **kwargs)
        started.append(server)
        return server

    yield start
    for server in started:
        server.stop()


@pytest.fixture
def serve_process(tmp_path):
    """start(*args, on_address=None): a running server; every one started
    is stopped after the test."""
    yield from _servers(lambda: tmp_path)


@pytest.fixture(scope="module")
def serve_module(tmp_path_factory):
    """serve_process for servers that a module's tests share."""
    yield from _servers(lambda: tmp_path_factory.mktemp("serve"))


@pytest.fixture(scope="module")
def sample_server(tmp_path_factory):
    """`tessarin serve` of the sample index, shared by a module's tests."""
    server = ServerProcess(tmp_path_factory.mktemp("serve"))
    yield server
    server.stop()


@pytest.fixture(scope="session")
def sample_index() -> Index:
    """The sample index shipped with the package, loaded once."""
    return load_sample_index()


@pytest.fixture(scope="session")
def artifacts_dir(tmp_path_factory):
    """Where tests write files for people to look at: $TESSARIN_ARTIFACTS
    or a temporary folder."""
    where = os.environ.get("TESSARIN_ARTIFACTS")
    if where:
        os.makedirs(where, exist_ok=True)
        return where
    return str(tmp_path_factory.mktemp("artifacts"))
