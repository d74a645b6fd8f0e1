// The classic exports, for hosts ported from the classic DLL: one link per
// process, results as the library returns them (0 done, 1 failed, 2 argument
// rejected) and the process-wide last-error record (GetLastError). Names are
// the exports' without their "PTZ_".
//
//   if (Classic.LanOpen("192.168.0.20", 4001) != Classic.Ok) { ... }
//   int pan, tilt;
//   Classic.GetPTPos(out pan, out tilt);
using System;

namespace Ptz
{
    public static class Classic
    {
        public const int Ok = Native.Ok, Failed = Native.Failed, BadParam = Native.BadParam;

        static Classic() { Library.Init(); }

        // ---- link management ----
        public static int DevOpen(int port) { return Native.PTZ_DevOpen(port); }
        // A text with a NUL in it is refused: the library would read only what comes before it.
        public static int DevOpenPath(string device)
        {
            return device == null || device.IndexOf('\0') >= 0 ? BadParam : Native.PTZ_DevOpenPath(device);
        }

        public static int LanOpen(string address, int port)
        {
            return address == null || address.IndexOf('\0') >= 0 ? BadParam : Native.PTZ_LanOpen(address, port);
        }
        public static int DevClose() { return Native.PTZ_DevClose(); }
        public static int GetLastError(out int kind, out int code) { return Native.PTZ_GetLastError(out kind, out code); }
        public static string GetErrorText(int kind, int code) { return Library.ErrorText(kind, code); }

        // ---- device commands ----
        public static int ExecInitialize() { return Native.PTZ_ExecInitialize(); }

        public static int GetSystemInfo(out SystemInfo info)
        {
            NativeSystemInfo raw = SystemInfo.Empty();
            int result = Native.PTZ_GetSystemInfo(ref raw);
            info = result == Ok ? SystemInfo.From(raw) : null;
            return result;
        }

        public static int GetSystemSettingInfo(out SettingInfo settings)
        {
            NativeFour raw;
            int result = Native.PTZ_GetSystemSettingInfo(out raw);
            settings = result == Ok ? SettingInfo.From(raw) : new SettingInfo();
            return result;
        }

        public static int GetPTZStatus(out Status status)
        {
            NativeFour raw;
            int result = Native.PTZ_GetPTZStatus(out raw);
            status = result == Ok ? Status.From(raw) : new Status();
            return result;
        }

        public static int ExecMotorHP(int motor) { return Native.PTZ_ExecMotorHP(motor); }
        public static int SetMotorPos(int motor, int param, int position) { return Native.PTZ_SetMotorPos(motor, param, position); }
        public static int GetMotorPos(int motor, out int position) { return Native.PTZ_GetMotorPos(motor, out position); }
        public static int ActMotor(int motor, int param) { return Native.PTZ_ActMotor(motor, param); }
        public static int StopMotor(int motor) { return Native.PTZ_StopMotor(motor); }
        public static int GetMotorSpeed(int motor, out int speed) { return Native.PTZ_GetMotorSpeed(motor, out speed); }
        public static int SetMotorSpeed(int motor, int speed) { return Native.PTZ_SetMotorSpeed(motor, speed); }
        public static int SetPTPos(int param, int pan, int tilt) { return Native.PTZ_SetPTPos(param, pan, tilt); }
        public static int GetPTPos(out int pan, out int tilt) { return Native.PTZ_GetPTPos(out pan, out tilt); }
        public static int GetPanTiltSyncMode(out int mode) { return Native.PTZ_GetPanTiltSyncMode(out mode); }
        public static int SetPanTiltSyncMode(int mode) { return Native.PTZ_SetPanTiltSyncMode(mode); }
        public static int SetUserHP(int flag) { return Native.PTZ_SetUserHP(flag); }
        public static int MoveUserHP() { return Native.PTZ_MoveUserHP(); }
        public static int SetPresetPos(int preset, int flag) { return Native.PTZ_SetPresetPos(preset, flag); }
        public static int MovePresetPos(int preset) { return Native.PTZ_MovePresetPos(preset); }
        public static int GetAutoReturn(out int autoReturn) { return Native.PTZ_GetAutoReturn(out autoReturn); }
        public static int SetAutoReturn(int autoReturn) { return Native.PTZ_SetAutoReturn(autoReturn); }
        public static int ExecAutoPan(int mode, int reserved1, int reserved2) { return Native.PTZ_ExecAutoPan(mode, reserved1, reserved2); }
        public static int SetIrControl(int control) { return Native.PTZ_SetIrControl(control); }

        // Reads `count` bytes into the start of `buffer`. A buffer shorter than
        // `count` is refused (BadParam, nothing sent): the library would write
        // past its end.
        public static int EepRead(int address, int count, byte[] buffer)
        {
            if (count > 0 && (buffer == null || buffer.Length < count)) return BadParam;
            return Native.PTZ_EepRead(address, count, buffer == null || buffer.Length == 0 ? new byte[1] : buffer);
        }

        // Writes the first `count` bytes of `data`; shorter data is refused.
        public static int EepWrite(int address, int count, byte[] data)
        {
            if (count > 0 && (data == null || data.Length < count)) return BadParam;
            return Native.PTZ_EepWrite(address, count, data == null || data.Length == 0 ? new byte[1] : data);
        }

        public static int EepBurn() { return Native.PTZ_EepBurn(); }
    }
}
