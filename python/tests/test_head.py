"""The Python binding against ptz-sim on loopback."""
import os
import subprocess

import pytest

import ptz


@pytest.fixture(scope="module")
def sim():
    binary = os.environ.get("PTZ_SIM_BIN", "ptz-sim")
    process = subprocess.Popen([binary, "--listen", "127.0.0.1:0"], stdout=subprocess.PIPE, text=True)
    line = process.stdout.readline()
    port = int(line.rsplit(":", 1)[1])
    yield port
    process.terminate()
    process.wait()


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
