"""Python access to the ptz pan/tilt head library, through ctypes.

    from ptz import Head
    with Head.lan("127.0.0.1", 4001) as head:
        head.initialize()
        head.set_pt_pos(1, 1000, -500)
        print(head.pt_pos())          # (1000, -500)

Every failure raises PtzError, which carries the kind, code and text of the
calling thread's last-error record. Each Head is a link of its own (a link
handle of the library): any number may be open at once, and each may be
used from several threads (the library serialises the calls on one link).
"""

import ctypes
import ctypes.util
import os
import sys
from dataclasses import dataclass
from pathlib import Path

__all__ = ["Head", "PtzError", "SystemInfo", "SettingInfo", "Status", "error_text", "load_library"]

OK, FAILED, BAD_PARAM = 0, 1, 2


class PtzError(Exception):
    """A call that did not succeed.

    result: 1 (failed; kind and code say why) or 2 (an argument was rejected
    before anything was sent; kind and code are None).
    """

    def __init__(self, call, result, kind=None, code=None, text=""):
        self.call, self.result, self.kind, self.code, self.text = call, result, kind, code, text
        where = f" (kind {kind}, code {code})" if kind is not None else ""
        super().__init__(f"{call}: {text}{where}")


@dataclass(frozen=True)
class SystemInfo:
    text0: str
    text1: str
    text2: str


@dataclass(frozen=True)
class SettingInfo:
    setting0: int
    setting1: int
    setting2: int
    setting3: int


@dataclass(frozen=True)
class Status:
    flag0: int
    flag1: int
    flag2: int
    flag3: int


class _SystemInfo(ctypes.Structure):
    _fields_ = [("text0", ctypes.c_char * 16), ("text1", ctypes.c_char * 16),
                ("text2", ctypes.c_char * 16), ("spare", ctypes.c_char * 16)]


class _Four(ctypes.Structure):
    _fields_ = [("v0", ctypes.c_int32), ("v1", ctypes.c_int32), ("v2", ctypes.c_int32), ("v3", ctypes.c_int32)]


_I = ctypes.c_int32
_PI = ctypes.POINTER(ctypes.c_int32)
_PB = ctypes.POINTER(ctypes.c_uint8)
_SIGNATURES = {
    "PTZ_DevOpen": [_I], "PTZ_DevOpenPath": [ctypes.c_char_p], "PTZ_LanOpen": [ctypes.c_char_p, _I],
    "PTZ_DevClose": [], "PTZ_GetLastError": [_PI, _PI],
    "PTZ_GetErrorText": [_I, _I, ctypes.c_char_p, _I],
    "PTZ_GetSystemInfo": [ctypes.POINTER(_SystemInfo)], "PTZ_GetSystemSettingInfo": [ctypes.POINTER(_Four)],
    "PTZ_GetPTZStatus": [ctypes.POINTER(_Four)], "PTZ_SetIrControl": [_I], "PTZ_ExecInitialize": [],
    "PTZ_ExecMotorHP": [_I], "PTZ_SetMotorPos": [_I, _I, _I], "PTZ_GetMotorPos": [_I, _PI],
    "PTZ_ActMotor": [_I, _I], "PTZ_StopMotor": [_I], "PTZ_GetMotorSpeed": [_I, _PI],
    "PTZ_SetMotorSpeed": [_I, _I], "PTZ_SetUserHP": [_I], "PTZ_MoveUserHP": [],
    "PTZ_SetPresetPos": [_I, _I], "PTZ_MovePresetPos": [_I], "PTZ_GetAutoReturn": [_PI],
    "PTZ_SetAutoReturn": [_I], "PTZ_ExecAutoPan": [_I, _I, _I], "PTZ_SetPTPos": [_I, _I, _I],
    "PTZ_GetPTPos": [_PI, _PI], "PTZ_GetPanTiltSyncMode": [_PI], "PTZ_SetPanTiltSyncMode": [_I],
    "PTZ_EepRead": [_I, _I, _PB], "PTZ_EepWrite": [_I, _I, _PB], "PTZ_EepBurn": [],
}
_OPEN_CLOSE = {"PTZ_DevOpen", "PTZ_DevOpenPath", "PTZ_LanOpen", "PTZ_DevClose", "PTZ_GetLastError",
               "PTZ_GetErrorText"}
# The handle exports: each device command with the link handle first.
_SIGNATURES.update({"PTZ_Link" + name[4:]: [_I] + args for name, args in list(_SIGNATURES.items())
                    if name not in _OPEN_CLOSE})
_SIGNATURES.update({
    "PTZ_LinkOpenLan": [ctypes.c_char_p, _I, _PI], "PTZ_LinkOpenCom": [_I, _PI],
    "PTZ_LinkOpenPath": [ctypes.c_char_p, _PI], "PTZ_LinkClose": [_I], "PTZ_LinkLastError": [_PI, _PI],
})

_library = None


def load_library(path=None):
    """Loads the library. With `path`, exactly that file, or OSError; without,
    $PTZ_LIBRARY, a build next to this source tree, or the system's installed
    libptz / ptz.dll."""
    global _library
    if _library is not None and path is None:
        return _library
    loader = ctypes.WinDLL if sys.platform == "win32" else ctypes.CDLL
    if path is not None:
        lib = loader(os.fspath(path))  # raises OSError: never another library instead
    else:
        candidates = [os.environ.get("PTZ_LIBRARY")]
        try:  # installed by cmake --install: the library of the same tree
            from ._installed import LIBRARY
            candidates.append(str(Path(__file__).resolve().parent / LIBRARY))
        except ImportError:
            pass
        root = Path(__file__).resolve().parents[2]
        # Builds of this source tree (never the sanitizer builds, which cannot
        # be loaded into a plain Python).
        candidates += [str(root / "build" / d / "libptz.so.1") for d in ("", "test", "demo", "bench")]
        candidates.append(ctypes.util.find_library("ptz"))
        for candidate in filter(None, candidates):
            try:
                lib = loader(candidate)
                break
            except OSError:
                continue
        else:
            raise OSError("libptz not found: set PTZ_LIBRARY to its path")
    for name, args in _SIGNATURES.items():
        function = getattr(lib, name)
        function.argtypes, function.restype = args, _I
    _library = lib
    return lib


def error_text(kind, code):
    """The library's English explanation of an error kind and code."""
    buffer = ctypes.create_string_buffer(320)
    load_library().PTZ_GetErrorText(kind, code, buffer, len(buffer))
    return buffer.value.decode("utf-8", "replace")


class Head:
    """One link to a pan/tilt head. Use Head.lan, Head.serial or Head.com."""

    def __init__(self, library=None):
        self._lib = library or load_library()
        self._handle = 0

    # ---- opening and closing ----
    @classmethod
    def _open(cls, name, *args):
        head = cls()
        handle = _I()
        head._check(name, getattr(head._lib, name)(*args, ctypes.byref(handle)))
        head._handle = handle.value
        return head

    @classmethod
    def lan(cls, host, port):
        """A TCP link: dotted IPv4, IPv6 or a host name."""
        return cls._open("PTZ_LinkOpenLan", host.encode(), port)

    @classmethod
    def serial(cls, device):
        return cls._open("PTZ_LinkOpenPath", os.fsencode(device))

    @classmethod
    def com(cls, port):
        return cls._open("PTZ_LinkOpenCom", port)

    def close(self):
        if self._handle:
            handle, self._handle = self._handle, 0
            self._check("PTZ_LinkClose", self._lib.PTZ_LinkClose(handle))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    def last_error(self):
        """The calling thread's last failure (kind, code)."""
        kind, code = _I(), _I()
        self._lib.PTZ_LinkLastError(ctypes.byref(kind), ctypes.byref(code))
        return kind.value, code.value

    def _check(self, name, result):
        if result == BAD_PARAM:
            raise PtzError(name, result, text="argument rejected, nothing was sent")
        if result != OK:
            kind, code = self.last_error()
            raise PtzError(name, result, kind, code, error_text(kind, code))

    def _call(self, name, *args):
        # The classic name maps onto its handle export, the link first.
        link_name = "PTZ_Link" + name[4:]
        self._check(link_name, getattr(self._lib, link_name)(self._handle, *args))

    def _get(self, name, *args):
        value = _I()
        self._call(name, *args, ctypes.byref(value))
        return value.value

    # ---- information and status ----
    def initialize(self):
        self._call("PTZ_ExecInitialize")

    def system_info(self):
        info = _SystemInfo()
        self._call("PTZ_GetSystemInfo", ctypes.byref(info))
        texts = (bytes(t).split(b"\0", 1)[0].decode("latin-1") for t in (info.text0, info.text1, info.text2))
        return SystemInfo(*texts)

    def settings(self):
        four = _Four()
        self._call("PTZ_GetSystemSettingInfo", ctypes.byref(four))
        return SettingInfo(four.v0, four.v1, four.v2, four.v3)

    def status(self):
        four = _Four()
        self._call("PTZ_GetPTZStatus", ctypes.byref(four))
        return Status(four.v0, four.v1, four.v2, four.v3)

    # ---- motors ----
    def motor_home(self, motor):
        self._call("PTZ_ExecMotorHP", motor)

    def set_motor_pos(self, motor, param, position):
        self._call("PTZ_SetMotorPos", motor, param, position)

    def motor_pos(self, motor):
        return self._get("PTZ_GetMotorPos", motor)

    def act_motor(self, motor, param):
        self._call("PTZ_ActMotor", motor, param)

    def stop_motor(self, motor):
        self._call("PTZ_StopMotor", motor)

    def motor_speed(self, motor):
        return self._get("PTZ_GetMotorSpeed", motor)

    def set_motor_speed(self, motor, speed):
        self._call("PTZ_SetMotorSpeed", motor, speed)

    # ---- pan/tilt ----
    def set_pt_pos(self, param, pan, tilt):
        self._call("PTZ_SetPTPos", param, pan, tilt)

    def pt_pos(self):
        pan, tilt = _I(), _I()
        self._call("PTZ_GetPTPos", ctypes.byref(pan), ctypes.byref(tilt))
        return pan.value, tilt.value

    def sync_mode(self):
        return self._get("PTZ_GetPanTiltSyncMode")

    def set_sync_mode(self, mode):
        self._call("PTZ_SetPanTiltSyncMode", mode)

    # ---- home, presets, automatic motion ----
    def set_user_home(self, flag=0):
        self._call("PTZ_SetUserHP", flag)

    def move_user_home(self):
        self._call("PTZ_MoveUserHP")

    def set_preset(self, preset, flag=0):
        self._call("PTZ_SetPresetPos", preset, flag)

    def move_preset(self, preset):
        self._call("PTZ_MovePresetPos", preset)

    def auto_return(self):
        return self._get("PTZ_GetAutoReturn")

    def set_auto_return(self, value):
        self._call("PTZ_SetAutoReturn", value)

    def auto_pan(self, mode):
        self._call("PTZ_ExecAutoPan", mode, 0, 0)

    # ---- infrared and EEPROM ----
    def set_ir_control(self, value):
        self._call("PTZ_SetIrControl", value)

    def eep_read(self, address, count):
        buffer = (ctypes.c_uint8 * max(count, 1))()
        self._call("PTZ_EepRead", address, count, buffer)
        return bytes(buffer[:count])

    def eep_write(self, address, data):
        data = bytes(data)
        buffer = (ctypes.c_uint8 * max(len(data), 1)).from_buffer_copy(data or b"\0")
        self._call("PTZ_EepWrite", address, len(data), buffer)

    def eep_burn(self):
        self._call("PTZ_EepBurn")
