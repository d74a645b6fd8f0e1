// The binding checked against the library's own declarations: the struct
// layouts the C compiler gives, every export declared once with the
// platform's calling convention and explicit string marshalling, and the
// classic interface.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text.RegularExpressions;
using System.Xml.Linq;
using NUnit.Framework;

namespace Ptz.Tests
{
    [TestFixture]
    public class BindingTests
    {
        private static string Required(string name)
        {
            string value = Environment.GetEnvironmentVariable(name);
            if (string.IsNullOrEmpty(value)) Assert.Fail(name + " is not set");
            return value;
        }

        // "NAME SIZE FIELD OFFSET ..." per struct, from a C program built
        // against ptz.h.
        private static Dictionary<string, string[]> CLayouts()
        {
            var run = new ProcessStartInfo(Required("PTZ_STRUCT_LAYOUT")) { UseShellExecute = false, RedirectStandardOutput = true };
            using (Process p = Process.Start(run))
            {
                string output = p.StandardOutput.ReadToEnd();
                p.WaitForExit();
                return output.Split(new[] { '\n' }, StringSplitOptions.RemoveEmptyEntries)
                    .Select(l => l.Split(' ')).ToDictionary(w => w[0], w => w.Skip(1).ToArray());
            }
        }

        private static string[] Layout(Type type, params string[] fields)
        {
            var words = new List<string> { Marshal.SizeOf(type).ToString() };
            for (int i = 0; i < fields.Length; i++)
            {
                words.Add(fields[i]);
                words.Add(Marshal.OffsetOf(type, type.GetFields()[i].Name).ToString());
            }
            return words.ToArray();
        }

        [Test]
        public void StructsAreLaidOutAsTheHeaderSays()
        {
            Dictionary<string, string[]> c = CLayouts();
            Assert.That(Layout(typeof(NativeSystemInfo), "text0", "text1", "text2", "spare"), Is.EqualTo(c["PTZ_SYSTEM_INFO"]));
            Assert.That(Layout(typeof(NativeFour), "setting0", "setting1", "setting2", "setting3"),
                        Is.EqualTo(c["PTZ_SYSTEM_SETTING_INFO"]));
            Assert.That(Layout(typeof(NativeFour), "flag0", "flag1", "flag2", "flag3"), Is.EqualTo(c["PTZ_STATUS"]));
        }

        private static IEnumerable<MethodInfo> Imports()
        {
            return typeof(Head).Assembly.GetTypes()
                .SelectMany(t => t.GetMethods(BindingFlags.Static | BindingFlags.NonPublic | BindingFlags.Public))
                .Where(m => (m.Attributes & MethodAttributes.PinvokeImpl) != 0);
        }

        private static DllImportAttribute ImportOf(MethodInfo m)
        {
            return (DllImportAttribute)m.GetCustomAttributes(typeof(DllImportAttribute), false).Single();
        }

        [Test]
        public void EveryExportIsDeclaredOnceAsTheLibraryNamesIt()
        {
            string def = File.ReadAllText(Required("PTZ_DEF"));
            var exports = Regex.Matches(def, @"^\s+(PTZ_\w+)", RegexOptions.Multiline).Cast<Match>()
                .Select(m => m.Groups[1].Value).OrderBy(n => n).ToList();
            Assert.That(exports.Count, Is.EqualTo(63));
            var declared = Imports().Select(m => ImportOf(m).EntryPoint ?? m.Name).OrderBy(n => n).ToList();
            Assert.That(declared, Is.EqualTo(exports));
        }

        // Each import's parameters against the header's prototype: as many,
        // and each a pointer where the C one is (out/ref, an array, a string)
        // and a 32-bit value where it is not. One too few is harmless on
        // x64 and breaks the stack under stdcall.
        [Test]
        public void EveryImportTakesWhatItsPrototypeDoes()
        {
            string header = File.ReadAllText(Required("PTZ_HEADER"));
            var prototypes = Regex.Matches(header, @"PTZ_API\s+int32_t\s+PTZ_CALL\s+(PTZ_\w+)\s*\(([^)]*)\)").Cast<Match>()
                .ToDictionary(m => m.Groups[1].Value, m => m.Groups[2].Value.Trim());
            Assert.That(prototypes.Count, Is.EqualTo(63));
            foreach (MethodInfo m in Imports())
            {
                string c = prototypes[ImportOf(m).EntryPoint ?? m.Name];
                string[] cParams = c == "void" ? new string[0] : c.Split(',').Select(p => p.Trim()).ToArray();
                ParameterInfo[] ps = m.GetParameters();
                Assert.That(ps.Length, Is.EqualTo(cParams.Length), m.Name + ": " + c);
                for (int i = 0; i < ps.Length; i++)
                {
                    Type t = ps[i].ParameterType;
                    bool pointer = cParams[i].Contains("*");
                    bool managedPointer = t.IsByRef || t.IsArray || t == typeof(string);
                    Assert.That(managedPointer, Is.EqualTo(pointer), m.Name + " parameter " + i + ": " + cParams[i]);
                    if (!pointer) Assert.That(t, Is.EqualTo(typeof(int)), m.Name + " parameter " + i);
                    if (cParams[i].StartsWith("const char")) Assert.That(t, Is.EqualTo(typeof(string)), m.Name);
                    if (cParams[i].StartsWith("int32_t *")) Assert.That(t, Is.EqualTo(typeof(int).MakeByRefType()), m.Name);
                    if (cParams[i].Contains("uint8_t")) Assert.That(t, Is.EqualTo(typeof(byte[])), m.Name);
                }
            }
        }

        // Winapi is stdcall on 32-bit Windows and the C convention elsewhere:
        // what the DLL's exports use. Names are exact (no A/W variants tried),
        // and text is narrow, with no best-fit substitution on Windows.
        [Test]
        public void EveryImportUsesThePlatformConventionAndNarrowStrings()
        {
            foreach (MethodInfo m in Imports())
            {
                DllImportAttribute import = ImportOf(m);
                Assert.That(import.Value, Is.EqualTo("ptz"), m.Name);
                Assert.That(import.CallingConvention, Is.EqualTo(CallingConvention.Winapi), m.Name);
                Assert.That(import.ExactSpelling, Is.True, m.Name);
                Assert.That(m.ReturnType, Is.EqualTo(typeof(int)), m.Name);
                foreach (ParameterInfo p in m.GetParameters())
                {
                    Assert.That(p.ParameterType, Is.Not.EqualTo(typeof(long)).And.Not.EqualTo(typeof(IntPtr)), m.Name);
                    if (p.ParameterType != typeof(string)) continue;
                    var marshal = (MarshalAsAttribute)p.GetCustomAttributes(typeof(MarshalAsAttribute), false).Single();
                    Assert.That(marshal.Value, Is.EqualTo(UnmanagedType.LPStr), m.Name);
                    Assert.That(import.CharSet, Is.EqualTo(CharSet.Ansi), m.Name);
                    Assert.That(import.BestFitMapping, Is.False, m.Name);
                    Assert.That(import.ThrowOnUnmappableChar, Is.True, m.Name);
                }
            }
        }

        [Test]
        public void TheLibraryNameIsMappedOntoItsInstalledFile()
        {
            string config = typeof(Head).Assembly.Location + ".config";
            var map = XDocument.Load(config).Root.Elements("dllmap").Single(e => (string)e.Attribute("os") == "linux");
            Assert.That((string)map.Attribute("dll"), Is.EqualTo("ptz"));
            Assert.That((string)map.Attribute("target"), Is.EqualTo("libptz.so.1"));
        }

        [Test]
        public void TheClassicInterfaceReportsThroughItsOwnRecord()
        {
            using (var sim = new Sim())
            {
                Assert.That(Classic.LanOpen("127.0.0.1", sim.Port), Is.EqualTo(Classic.Ok));
                try
                {
                    Assert.That(Classic.LanOpen("127.0.0.1", sim.Port), Is.EqualTo(Classic.Failed));  // one link only
                    Assert.That(Classic.SetPTPos(1, 1000, -500), Is.EqualTo(Classic.Ok));
                    int pan, tilt;
                    Assert.That(Classic.GetPTPos(out pan, out tilt), Is.EqualTo(Classic.Ok));
                    Assert.That(new[] { pan, tilt }, Is.EqualTo(new[] { 1000, -500 }));
                    SystemInfo info;
                    Assert.That(Classic.GetSystemInfo(out info), Is.EqualTo(Classic.Ok));
                    Assert.That(info.Text0, Is.EqualTo("PTZ-SIM"));

                    sim.Control("faults refuse=0x92");
                    Assert.That(Classic.MovePresetPos(3), Is.EqualTo(Classic.Failed));
                    int kind, code;
                    Classic.GetLastError(out kind, out code);
                    Assert.That(new[] { kind, code }, Is.EqualTo(new[] { 0, 1102 }));
                    Assert.That(Classic.GetErrorText(kind, code), Is.EqualTo(Library.ErrorText(ErrorKind.Response, 1102)));
                    sim.Control("faults");

                    // A buffer shorter than the count would be written past its end.
                    sim.Control("clear-requests");
                    Assert.That(Classic.EepRead(0, 16, new byte[8]), Is.EqualTo(Classic.BadParam));
                    Assert.That(Classic.EepWrite(0, 16, new byte[8]), Is.EqualTo(Classic.BadParam));
                    Assert.That(Classic.EepRead(0, 1, null), Is.EqualTo(Classic.BadParam));
                    Assert.That(sim.Requests(), Is.Empty);
                    var bytes = new byte[] { 1, 2, 3, 4, 5, 6, 7, 8 };
                    Assert.That(Classic.EepWrite(0x40, 8, bytes), Is.EqualTo(Classic.Ok));
                    var back = new byte[12];
                    Assert.That(Classic.EepRead(0x40, 8, back), Is.EqualTo(Classic.Ok));
                    Assert.That(back.Take(8), Is.EqualTo(bytes));
                    Assert.That(back.Skip(8), Is.All.EqualTo(0));
                }
                finally
                {
                    Assert.That(Classic.DevClose(), Is.EqualTo(Classic.Ok));
                }
                Assert.That(Classic.DevClose(), Is.EqualTo(Classic.Failed));
            }
        }
    }
}
