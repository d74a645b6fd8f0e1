"""The Python binding against ptz-sim on loopback."""
import errno
import os
import shutil
import subprocess
import sys
import tempfile
import threading

import pytest

import ptz


@pytest.fixture(scope="module")
def sims():
    """Two independent simulated heads in one ptz-sim process: their ports."""
    binary = os.environ.get("PTZ_SIM_BIN", "ptz-sim")
    process = subprocess.Popen([binary, "--instant", "--listen", "127.0.0.1:0", "--heads", "2"], stdout=subprocess.PIPE,
                               text=True)
    ports = [int(process.stdout.readline().rsplit(":", 1)[1]) for _ in range(2)]
    yield ports
    process.terminate()
    process.wait()


@pytest.fixture
def sim(sims):
    return sims[0]


@pytest.fixture
def head(sim):
    with ptz.Head.lan("127.0.0.1", sim) as h:
        yield h


def test_information_and_status(head):
    head.initialize()
    assert head.system_info() == ptz.SystemInfo("PTZ-SIM", "1.0.0", "SIM-000001")
    assert isinstance(head.settings(), ptz.SettingInfo)
    assert head.status().flag0 == 1


def test_positions_presets_and_refusal(head):
    head.set_pt_pos(1, 1000, -500)
    head.set_preset(4)
    head.set_pt_pos(1, 0, 0)
    head.move_preset(4)
    assert head.pt_pos() == (1000, -500)
    with pytest.raises(ptz.PtzError) as refused:
        head.move_preset(11)
    assert (refused.value.kind, refused.value.code) == (0, 1102)
    assert "refused" in refused.value.text


def test_rejected_argument_sends_nothing(head):
    with pytest.raises(ptz.PtzError) as rejected:
        head.motor_speed(1)
    assert rejected.value.result == 2 and rejected.value.kind is None


def test_values_travel_exactly(head):
    head.set_motor_pos(0, 0, -2**31)
    assert head.motor_pos(0) == -2**31
    head.set_motor_speed(4, 200)
    assert head.motor_speed(4) == 200
    head.set_auto_return(300)
    assert head.auto_return() == 44
    head.set_sync_mode(1)
    assert head.sync_mode() == 1


def test_eeprom_round_trip(head):
    data = bytes(range(246))
    head.eep_write(0x2000, data)
    assert head.eep_read(0x2000, 246) == data
    assert head.eep_read(0, 0) == b""
    head.eep_burn()


def test_link_closes_with_the_context(sim):
    with ptz.Head.lan("127.0.0.1", sim) as h:
        h.initialize()
    with pytest.raises(ptz.PtzError):
        h.initialize()  # closed
    with ptz.Head.lan("127.0.0.1", sim) as again:
        again.initialize()


def test_failed_open_and_error_text():
    with pytest.raises(ptz.PtzError):
        ptz.Head.serial("/dev/ptz-no-such-port")
    assert "timeout" in ptz.error_text(1, 1004) or "in time" in ptz.error_text(1, 1004)


def test_two_heads_at_once_from_two_threads(sims):
    with ptz.Head.lan("127.0.0.1", sims[0]) as left, ptz.Head.lan("127.0.0.1", sims[1]) as right:
        failures = []

        def drive(head, base):
            try:
                for i in range(50):
                    head.set_pt_pos(0, base + i, -(base + i))
                    assert head.pt_pos() == (base + i, -(base + i))
            except Exception as e:  # reported to the main thread
                failures.append(e)

        threads = [threading.Thread(target=drive, args=(h, b)) for h, b in ((left, 1000), (right, 5000))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert failures == []
        assert left.pt_pos() == (1049, -1049)
        assert right.pt_pos() == (5049, -5049)


def test_refused_connection_says_so():
    with pytest.raises(ptz.PtzError) as refused:
        ptz.Head.lan("127.0.0.1", 1)
    assert (refused.value.kind, refused.value.code) == (2, errno.ECONNREFUSED)
    assert "refused" in str(refused.value).lower()


def test_explicit_library_path_loads_that_file_or_raises():
    with pytest.raises(OSError):
        ptz.load_library("/nonexistent/libptz.so.1")
    assert ptz.load_library(os.environ["PTZ_LIBRARY"]) is not None


@pytest.mark.skipif(sys.platform == "win32", reason="pip install into a folder")
def test_package_installs_offline():
    with tempfile.TemporaryDirectory() as scratch:
        # Built from a copy, so the build leaves nothing in the source tree.
        source = os.path.join(scratch, "src")
        shutil.copytree(os.path.join(os.path.dirname(__file__), ".."), source,
                        ignore=shutil.ignore_patterns("__pycache__", "tests"))
        target = os.path.join(scratch, "target")
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps",
                        "--no-index", "--target", target, source], check=True, capture_output=True)
        out = subprocess.run([sys.executable, "-c", "import ptz, sys; print(ptz.__file__)"], check=True,
                             capture_output=True, text=True, env={**os.environ, "PYTHONPATH": target},
                             cwd=target).stdout
        assert out.startswith(target)
