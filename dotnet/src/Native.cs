// The library's exports as the runtime calls them. Every declaration names
// its export exactly (no A/W probing on Windows), uses the platform's own
// calling convention (stdcall on 32-bit Windows, the C convention elsewhere)
// and passes text as the platform's narrow strings: the ANSI code page on
// Windows (refusing characters it cannot carry rather than best-fitting them
// into another name), UTF-8 elsewhere.
using System;
using System.Runtime.InteropServices;

namespace Ptz
{
    [StructLayout(LayoutKind.Sequential)]
    internal struct NativeSystemInfo
    {
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 16)] public byte[] Text0;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 16)] public byte[] Text1;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 16)] public byte[] Text2;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 16)] public byte[] Spare;
    }

    // PTZ_SYSTEM_SETTING_INFO and PTZ_STATUS: four 32-bit integers each.
    [StructLayout(LayoutKind.Sequential)]
    internal struct NativeFour
    {
        public int V0, V1, V2, V3;
    }

    internal static class Native
    {
        // "ptz" is ptz.dll on Windows; on Linux the assembly's .config maps it
        // onto libptz.so.1 for Mono, and LibraryResolver does it for .NET.
        internal const string Library = "ptz";
        private const CallingConvention Convention = CallingConvention.Winapi;

        internal const int Ok = 0, Failed = 1, BadParam = 2;

        // ---- the classic exports ----
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_DevOpen(int port);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        internal static extern int PTZ_LanOpen([MarshalAs(UnmanagedType.LPStr)] string address, int port);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_DevClose();
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_GetLastError(out int kind, out int code);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        internal static extern int PTZ_DevOpenPath([MarshalAs(UnmanagedType.LPStr)] string device);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_GetErrorText(int kind, int code, [Out] byte[] buffer, int size);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_ExecInitialize();
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_GetSystemInfo(ref NativeSystemInfo info);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_GetSystemSettingInfo(out NativeFour settings);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_GetPTZStatus(out NativeFour status);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_ExecMotorHP(int motor);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_SetMotorPos(int motor, int param, int position);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_GetMotorPos(int motor, out int position);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_ActMotor(int motor, int param);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_StopMotor(int motor);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_GetMotorSpeed(int motor, out int speed);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_SetMotorSpeed(int motor, int speed);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_SetPTPos(int param, int pan, int tilt);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_GetPTPos(out int pan, out int tilt);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_GetPanTiltSyncMode(out int mode);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_SetPanTiltSyncMode(int mode);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_SetUserHP(int flag);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_MoveUserHP();
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_SetPresetPos(int preset, int flag);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_MovePresetPos(int preset);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_GetAutoReturn(out int autoReturn);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_SetAutoReturn(int autoReturn);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_ExecAutoPan(int mode, int reserved1, int reserved2);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_SetIrControl(int control);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_EepRead(int address, int count, [Out] byte[] buffer);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_EepWrite(int address, int count, [In] byte[] data);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_EepBurn();

        // ---- links by handle ----
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        internal static extern int PTZ_LinkOpenLan([MarshalAs(UnmanagedType.LPStr)] string host, int port, out int link);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkOpenCom(int port, out int link);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        internal static extern int PTZ_LinkOpenPath([MarshalAs(UnmanagedType.LPStr)] string device, out int link);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkClose(int link);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkLastError(out int kind, out int code);

        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkGetSystemInfo(int link, ref NativeSystemInfo info);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkGetSystemSettingInfo(int link, out NativeFour settings);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkSetIrControl(int link, int control);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkExecInitialize(int link);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkExecMotorHP(int link, int motor);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkSetMotorPos(int link, int motor, int param, int position);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkGetMotorPos(int link, int motor, out int position);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkActMotor(int link, int motor, int param);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkStopMotor(int link, int motor);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkGetMotorSpeed(int link, int motor, out int speed);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkSetMotorSpeed(int link, int motor, int speed);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkSetUserHP(int link, int flag);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkMoveUserHP(int link);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkSetPresetPos(int link, int preset, int flag);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkMovePresetPos(int link, int preset);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkGetAutoReturn(int link, out int autoReturn);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkSetAutoReturn(int link, int autoReturn);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkExecAutoPan(int link, int mode, int reserved1, int reserved2);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkGetPTZStatus(int link, out NativeFour status);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkSetPTPos(int link, int param, int pan, int tilt);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkGetPTPos(int link, out int pan, out int tilt);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkGetPanTiltSyncMode(int link, out int mode);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkSetPanTiltSyncMode(int link, int mode);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkEepRead(int link, int address, int count, [Out] byte[] buffer);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkEepWrite(int link, int address, int count, [In] byte[] data);
        [DllImport(Library, CallingConvention = Convention, ExactSpelling = true)]
        internal static extern int PTZ_LinkEepBurn(int link);
    }
}
