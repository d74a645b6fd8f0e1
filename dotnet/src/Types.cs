// The values commands read, as .NET types.
using System;
using System.Text;

namespace Ptz
{
    // The head's three system texts (each at most 13 characters).
    public sealed class SystemInfo
    {
        public SystemInfo(string text0, string text1, string text2)
        {
            Text0 = text0;
            Text1 = text1;
            Text2 = text2;
        }

        public string Text0 { get; private set; }
        public string Text1 { get; private set; }
        public string Text2 { get; private set; }

        internal static SystemInfo From(NativeSystemInfo info)
        {
            return new SystemInfo(Text(info.Text0), Text(info.Text1), Text(info.Text2));
        }

        internal static NativeSystemInfo Empty()
        {
            return new NativeSystemInfo { Text0 = new byte[16], Text1 = new byte[16], Text2 = new byte[16], Spare = new byte[16] };
        }

        // The bytes up to the first zero, one character per byte: the head's
        // texts are bytes, and Latin-1 keeps every byte as it came.
        private static string Text(byte[] bytes)
        {
            int n = Array.IndexOf(bytes, (byte)0);
            if (n < 0) n = bytes.Length;
            var text = new StringBuilder(n);
            for (int i = 0; i < n; i++) text.Append((char)bytes[i]);
            return text.ToString();
        }

        public override string ToString() { return Text0 + " " + Text1 + " " + Text2; }
    }

    // The four setting bytes, zero-extended (0-255).
    public struct SettingInfo
    {
        public SettingInfo(int setting0, int setting1, int setting2, int setting3)
        {
            Setting0 = setting0;
            Setting1 = setting1;
            Setting2 = setting2;
            Setting3 = setting3;
        }

        public int Setting0 { get; private set; }
        public int Setting1 { get; private set; }
        public int Setting2 { get; private set; }
        public int Setting3 { get; private set; }

        internal static SettingInfo From(NativeFour f) { return new SettingInfo(f.V0, f.V1, f.V2, f.V3); }
    }

    // The four status flags: 1 when the head's status byte is 0, otherwise 0.
    public struct Status
    {
        public Status(int flag0, int flag1, int flag2, int flag3)
        {
            Flag0 = flag0;
            Flag1 = flag1;
            Flag2 = flag2;
            Flag3 = flag3;
        }

        public int Flag0 { get; private set; }
        public int Flag1 { get; private set; }
        public int Flag2 { get; private set; }
        public int Flag3 { get; private set; }

        internal static Status From(NativeFour f) { return new Status(f.V0, f.V1, f.V2, f.V3); }
    }

    // A combined pan/tilt position.
    public struct PanTilt
    {
        public PanTilt(int pan, int tilt)
        {
            Pan = pan;
            Tilt = tilt;
        }

        public int Pan { get; private set; }
        public int Tilt { get; private set; }

        public override string ToString() { return "pan " + Pan + ", tilt " + Tilt; }
    }
}
