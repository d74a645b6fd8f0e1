// One link to a pan/tilt head, over the library's handle exports.
//
//   using (var head = Ptz.Head.Lan("127.0.0.1", 4001))
//   {
//       head.Initialize();
//       head.SetPanTilt(1, 1000, -500);
//       Console.WriteLine(head.GetPanTilt());   // pan 1000, tilt -500
//   }
//
// A Head may be used from several threads: the library serialises the calls
// on one link. Closing it while another thread's call is running is safe:
// the link is closed when that call has ended, and every later call throws
// ObjectDisposedException without reaching the library.
using System;
using System.Runtime.InteropServices;

namespace Ptz
{
    // The link handle. The runtime counts the calls holding it, so the link
    // is closed (PTZ_LinkClose) only once the last of them has returned.
    internal sealed class LinkHandle : SafeHandle
    {
        internal LinkHandle(int link) : base(IntPtr.Zero, true) { SetHandle(new IntPtr(link)); }

        public override bool IsInvalid { get { return handle == IntPtr.Zero; } }

        internal int Value { get { return handle.ToInt32(); } }

        protected override bool ReleaseHandle() { return Native.PTZ_LinkClose(handle.ToInt32()) == Native.Ok; }
    }

    public sealed class Head : IDisposable
    {
        private readonly LinkHandle link;
        // Set by Close before the handle is disposed. The handle alone is not
        // enough: some runtimes (Mono) go on granting references to a disposed
        // handle while others still hold it, so calls on several threads could
        // keep a closed link alive for ever.
        private volatile bool closed;

        static Head() { Library.Init(); }

        private Head(int link) { this.link = new LinkHandle(link); }

        // ---- opening and closing ----

        // A TCP link: dotted IPv4, IPv6 or a host name; port 1-65535.
        public static Head Lan(string host, int port)
        {
            if (host == null) throw new ArgumentNullException("host");
            Library.CheckText(host, "host");
            int handle;
            Check("PTZ_LinkOpenLan", Native.PTZ_LinkOpenLan(host, port, out handle));
            return new Head(handle);
        }

        // A serial link on a device path ("/dev/ttyUSB0", "COM12").
        public static Head Serial(string device)
        {
            if (device == null) throw new ArgumentNullException("device");
            Library.CheckText(device, "device");
            int handle;
            Check("PTZ_LinkOpenPath", Native.PTZ_LinkOpenPath(device, out handle));
            return new Head(handle);
        }

        // A serial link on COM<port> (/dev/ttyS<port-1> on Linux).
        public static Head Com(int port)
        {
            int handle;
            Check("PTZ_LinkOpenCom", Native.PTZ_LinkOpenCom(port, out handle));
            return new Head(handle);
        }

        // The library's handle of this link (0 once closed).
        public int Handle { get { return closed ? 0 : link.Value; } }

        // True from Close on, while a call that began before it may still run.
        public bool IsClosed { get { return closed; } }

        // Closes the link: at once when no call is running on it, otherwise
        // when the last running call returns. No call starts after it.
        public void Close()
        {
            closed = true;
            link.Dispose();
        }

        public void Dispose() { Close(); }

        // The calling thread's last failure in a link call: (kind, code).
        public static void LastError(out int kind, out int code) { Native.PTZ_LinkLastError(out kind, out code); }

        // ---- information and status ----
        public void Initialize() { Run("PTZ_LinkExecInitialize", h => Native.PTZ_LinkExecInitialize(h)); }

        public SystemInfo GetSystemInfo()
        {
            NativeSystemInfo info = SystemInfo.Empty();
            Run("PTZ_LinkGetSystemInfo", h => Native.PTZ_LinkGetSystemInfo(h, ref info));
            return SystemInfo.From(info);
        }

        public SettingInfo GetSettings()
        {
            var four = new NativeFour();
            Run("PTZ_LinkGetSystemSettingInfo", h => Native.PTZ_LinkGetSystemSettingInfo(h, out four));
            return SettingInfo.From(four);
        }

        public Status GetStatus()
        {
            var four = new NativeFour();
            Run("PTZ_LinkGetPTZStatus", h => Native.PTZ_LinkGetPTZStatus(h, out four));
            return Status.From(four);
        }

        // ---- motors (the head decides what motor numbers mean) ----
        public void MotorHome(int motor) { Run("PTZ_LinkExecMotorHP", h => Native.PTZ_LinkExecMotorHP(h, motor)); }

        public void SetMotorPosition(int motor, int param, int position)
        {
            Run("PTZ_LinkSetMotorPos", h => Native.PTZ_LinkSetMotorPos(h, motor, param, position));
        }

        public int GetMotorPosition(int motor)
        {
            int position = 0;
            Run("PTZ_LinkGetMotorPos", h => Native.PTZ_LinkGetMotorPos(h, motor, out position));
            return position;
        }

        public void ActMotor(int motor, int param) { Run("PTZ_LinkActMotor", h => Native.PTZ_LinkActMotor(h, motor, param)); }

        public void StopMotor(int motor) { Run("PTZ_LinkStopMotor", h => Native.PTZ_LinkStopMotor(h, motor)); }

        // `motor` must be 0 or 4.
        public int GetMotorSpeed(int motor)
        {
            int speed = 0;
            Run("PTZ_LinkGetMotorSpeed", h => Native.PTZ_LinkGetMotorSpeed(h, motor, out speed));
            return speed;
        }

        public void SetMotorSpeed(int motor, int speed)
        {
            Run("PTZ_LinkSetMotorSpeed", h => Native.PTZ_LinkSetMotorSpeed(h, motor, speed));
        }

        // ---- pan/tilt ----
        public void SetPanTilt(int param, int pan, int tilt)
        {
            Run("PTZ_LinkSetPTPos", h => Native.PTZ_LinkSetPTPos(h, param, pan, tilt));
        }

        public PanTilt GetPanTilt()
        {
            int pan = 0, tilt = 0;
            Run("PTZ_LinkGetPTPos", h => Native.PTZ_LinkGetPTPos(h, out pan, out tilt));
            return new PanTilt(pan, tilt);
        }

        public int GetSyncMode()
        {
            int mode = 0;
            Run("PTZ_LinkGetPanTiltSyncMode", h => Native.PTZ_LinkGetPanTiltSyncMode(h, out mode));
            return mode;
        }

        // 0 or 1.
        public void SetSyncMode(int mode) { Run("PTZ_LinkSetPanTiltSyncMode", h => Native.PTZ_LinkSetPanTiltSyncMode(h, mode)); }

        // ---- home position, presets, automatic motion ----
        public void SetUserHome(int flag = 0) { Run("PTZ_LinkSetUserHP", h => Native.PTZ_LinkSetUserHP(h, flag)); }

        public void MoveUserHome() { Run("PTZ_LinkMoveUserHP", h => Native.PTZ_LinkMoveUserHP(h)); }

        // Presets 1-16.
        public void SetPreset(int preset, int flag = 0) { Run("PTZ_LinkSetPresetPos", h => Native.PTZ_LinkSetPresetPos(h, preset, flag)); }

        public void MovePreset(int preset) { Run("PTZ_LinkMovePresetPos", h => Native.PTZ_LinkMovePresetPos(h, preset)); }

        public int GetAutoReturn()
        {
            int value = 0;
            Run("PTZ_LinkGetAutoReturn", h => Native.PTZ_LinkGetAutoReturn(h, out value));
            return value;
        }

        public void SetAutoReturn(int value) { Run("PTZ_LinkSetAutoReturn", h => Native.PTZ_LinkSetAutoReturn(h, value)); }

        // Mode 2 starts automatic panning, 0 stops it.
        public void AutoPan(int mode) { Run("PTZ_LinkExecAutoPan", h => Native.PTZ_LinkExecAutoPan(h, mode, 0, 0)); }

        // ---- infrared and EEPROM ----
        public void SetIrControl(int control) { Run("PTZ_LinkSetIrControl", h => Native.PTZ_LinkSetIrControl(h, control)); }

        // `count` bytes (0-248) from a 16-bit address.
        public byte[] EepRead(int address, int count)
        {
            // Refused before anything is allocated for it, as the library would.
            if (count < 0 || count > MaxEepRead) throw new PtzArgumentException("PTZ_LinkEepRead");
            var buffer = new byte[Math.Max(count, 1)];
            Run("PTZ_LinkEepRead", h => Native.PTZ_LinkEepRead(h, address, count, buffer));
            if (buffer.Length == count) return buffer;
            var bytes = new byte[count];
            Array.Copy(buffer, bytes, count);
            return bytes;
        }

        public const int MaxEepRead = 248, MaxEepWrite = 246;

        // Up to 246 bytes to a 16-bit address.
        public void EepWrite(int address, byte[] data)
        {
            if (data == null) throw new ArgumentNullException("data");
            byte[] bytes = data.Length > 0 ? data : new byte[1];
            Run("PTZ_LinkEepWrite", h => Native.PTZ_LinkEepWrite(h, address, data.Length, bytes));
        }

        public void EepBurn() { Run("PTZ_LinkEepBurn", h => Native.PTZ_LinkEepBurn(h)); }

        // One call on the link, holding the handle from before the call until
        // its failure (if any) has been read.
        private void Run(string call, Func<int, int> export)
        {
            bool held = false;
            try
            {
                if (!closed) link.DangerousAddRef(ref held);
                if (!held) throw new ObjectDisposedException("Ptz.Head", "the link is closed");
                Check(call, export(link.Value));
            }
            finally
            {
                if (held) link.DangerousRelease();
            }
        }

        internal static void Check(string call, int result)
        {
            if (result == Native.Ok) return;
            if (result == Native.BadParam) throw new PtzArgumentException(call);
            int kind, code;
            Native.PTZ_LinkLastError(out kind, out code);
            throw PtzException.From(call, result, kind, code);
        }
    }
}
