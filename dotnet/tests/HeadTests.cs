// The binding against the real library and a simulated head: what each
// method puts on the wire, what it hands back, and what it throws.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Threading;
using NUnit.Framework;

namespace Ptz.Tests
{
    [TestFixture]
    public class HeadTests
    {
        private Sim sim;
        private Head head;

        [SetUp]
        public void Open()
        {
            sim = new Sim();
            head = Head.Lan("127.0.0.1", sim.Port);
        }

        [TearDown]
        public void Close()
        {
            if (head != null) head.Dispose();
            if (sim != null) sim.Dispose();
        }

        private static string Hex(string spaced) { return spaced.Replace(" ", ""); }

        // Each method's request frame as the head received it: argument order,
        // widths and signs, the link's own handle.
        public static readonly object[][] Frames =
        {
            new object[] { "Initialize", (Action<Head>)(h => h.Initialize()), "02 80 00 19 00 03 98" },
            new object[] { "SetMotorPosition(1,2,300)", (Action<Head>)(h => h.SetMotorPosition(1, 2, 300)), "02 80 00 81 06 01 02 00 00 01 2C 03 28" },
            new object[] { "SetMotorPosition(0,0,-300)", (Action<Head>)(h => h.SetMotorPosition(0, 0, -300)), "02 80 00 81 06 00 00 FF FF FE D4 03 2C" },
            new object[] { "GetMotorPosition(0)", (Action<Head>)(h => h.GetMotorPosition(0)), "02 80 00 82 01 00 03 02" },
            new object[] { "GetMotorSpeed(4)", (Action<Head>)(h => h.GetMotorSpeed(4)), "02 80 00 85 01 04 03 01" },
            new object[] { "SetMotorSpeed(4,200)", (Action<Head>)(h => h.SetMotorSpeed(4, 200)), "02 80 00 86 02 04 C8 03 C9" },
            new object[] { "MotorHome(0)", (Action<Head>)(h => h.MotorHome(0)), "02 80 00 80 01 00 03 00" },
            new object[] { "StopMotor(4)", (Action<Head>)(h => h.StopMotor(4)), "02 80 00 84 01 04 03 00" },
            new object[] { "ActMotor(1,2)", (Action<Head>)(h => h.ActMotor(1, 2)), "02 80 00 83 02 01 02 03 03" },
            new object[] { "GetSystemInfo", (Action<Head>)(h => h.GetSystemInfo()), "02 80 00 00 00 03 81" },
            new object[] { "GetSettings", (Action<Head>)(h => h.GetSettings()), "02 80 00 10 00 03 91" },
            new object[] { "GetStatus", (Action<Head>)(h => h.GetStatus()), "02 80 00 8B 00 03 0A" },
            new object[] { "SetPanTilt(1,1000,-500)", (Action<Head>)(h => h.SetPanTilt(1, 1000, -500)), "02 80 00 8C 09 01 00 00 03 E8 FF FF FE 0C 03 1C" },
            new object[] { "GetPanTilt", (Action<Head>)(h => h.GetPanTilt()), "02 80 00 98 00 03 19" },
            new object[] { "GetSyncMode", (Action<Head>)(h => h.GetSyncMode()), "02 80 00 99 00 03 18" },
            new object[] { "SetSyncMode(1)", (Action<Head>)(h => h.SetSyncMode(1)), "02 80 00 9A 01 01 03 1B" },
            new object[] { "SetPreset(3,1)", (Action<Head>)(h => h.SetPreset(3, 1)), "02 80 00 91 02 03 01 03 10" },
            new object[] { "MovePreset(3)", (Action<Head>)(h => h.MovePreset(3)), "02 80 00 92 01 03 03 11" },
            new object[] { "SetUserHome(1)", (Action<Head>)(h => h.SetUserHome(1)), "02 80 00 8E 01 01 03 0F" },
            new object[] { "MoveUserHome", (Action<Head>)(h => h.MoveUserHome()), "02 80 00 8F 00 03 0E" },
            new object[] { "GetAutoReturn", (Action<Head>)(h => h.GetAutoReturn()), "02 80 00 95 00 03 14" },
            new object[] { "SetAutoReturn(300)", (Action<Head>)(h => h.SetAutoReturn(300)), "02 80 00 96 01 2C 03 3A" },
            new object[] { "AutoPan(2)", (Action<Head>)(h => h.AutoPan(2)), "02 80 00 97 09 02 00 00 00 00 00 00 00 00 03 1D" },
            new object[] { "SetIrControl(1)", (Action<Head>)(h => h.SetIrControl(1)), "02 80 00 12 01 01 03 93" },
            new object[] { "EepRead(0x100,16)", (Action<Head>)(h => h.EepRead(0x0100, 16)), "02 80 00 F4 03 01 00 10 03 67" },
            new object[] { "EepWrite(0x1234,[AB CD])", (Action<Head>)(h => h.EepWrite(0x1234, new byte[] { 0xAB, 0xCD })), "02 80 00 F5 05 12 34 02 AB CD 03 33" },
            new object[] { "EepBurn", (Action<Head>)(h => h.EepBurn()), "02 80 00 F6 00 03 77" },
        };

        [Test, TestCaseSource("Frames")]
        public void EachMethodSendsItsFrame(string name, Action<Head> call, string frame)
        {
            head.SetPreset(3);  // so that the moves to them are taken
            head.SetUserHome();
            sim.Control("clear-requests");
            call(head);
            Assert.That(sim.Requests(), Is.EqualTo(new[] { Hex(frame) }), name);
        }

        [Test]
        public void ValuesComeBackExactly()
        {
            head.Initialize();
            SystemInfo info = head.GetSystemInfo();
            Assert.That(new[] { info.Text0, info.Text1, info.Text2 }, Is.EqualTo(new[] { "PTZ-SIM", "1.0.0", "SIM-000001" }));
            // Four distinct bytes each, so that every field is seen in its place.
            sim.Control("rule 0x10 0:024000100004010280FF0329");
            SettingInfo set = head.GetSettings();
            Assert.That(new[] { set.Setting0, set.Setting1, set.Setting2, set.Setting3 }, Is.EqualTo(new[] { 1, 2, 128, 255 }));
            sim.Control("rule 0x8B 0:0240008B00040001FF000330");
            Status status = head.GetStatus();
            Assert.That(new[] { status.Flag0, status.Flag1, status.Flag2, status.Flag3 }, Is.EqualTo(new[] { 1, 0, 0, 1 }));
            sim.Control("reset");

            head.SetPanTilt(1, 1000, -500);
            PanTilt at = head.GetPanTilt();
            Assert.That(new[] { at.Pan, at.Tilt }, Is.EqualTo(new[] { 1000, -500 }));
            head.SetMotorPosition(0, 0, int.MinValue);
            Assert.That(head.GetMotorPosition(0), Is.EqualTo(int.MinValue));
            head.SetMotorPosition(4, 0, int.MaxValue);
            Assert.That(head.GetMotorPosition(4), Is.EqualTo(int.MaxValue));
            head.SetMotorSpeed(4, 200);
            Assert.That(head.GetMotorSpeed(4), Is.EqualTo(200));
            head.SetAutoReturn(300);  // the low byte travels
            Assert.That(head.GetAutoReturn(), Is.EqualTo(44));
            head.SetSyncMode(1);
            Assert.That(head.GetSyncMode(), Is.EqualTo(1));

            head.SetPanTilt(0, 1234, 567);
            head.SetPreset(4);
            head.SetPanTilt(0, 0, 0);
            head.MovePreset(4);
            at = head.GetPanTilt();
            Assert.That(new[] { at.Pan, at.Tilt }, Is.EqualTo(new[] { 1234, 567 }));

            byte[] data = Enumerable.Range(0, 246).Select(i => (byte)(255 - i)).ToArray();
            head.EepWrite(0x2000, data);
            Assert.That(head.EepRead(0x2000, 246), Is.EqualTo(data));
            Assert.That(head.EepRead(0x2000, 248).Take(246), Is.EqualTo(data));
            Assert.That(head.EepRead(0, 0), Is.Empty);
            head.EepWrite(0x10, new byte[0]);
        }

        // Each failure as the type it belongs to, with the calling thread's
        // record and the library's own text for it.
        public static readonly object[][] Failures =
        {
            new object[] { "refuse=0x98", typeof(PtzResponseException), ErrorKind.Response, ErrorCode.Refused },
            new object[] { "badbcc=1", typeof(PtzResponseException), ErrorKind.Response, ErrorCode.ResponseBcc },
            new object[] { "badack=1", typeof(PtzResponseException), ErrorKind.Response, ErrorCode.ResponseMark },
            new object[] { "silent=1", typeof(PtzLinkException), ErrorKind.Link, ErrorCode.Timeout },
        };

        [Test, TestCaseSource("Failures")]
        public void AFailureThrowsItsKindCodeAndText(string fault, Type type, ErrorKind kind, int code)
        {
            sim.Control("faults " + fault);
            PtzException e = Assert.Catch<PtzException>(() => head.GetPanTilt());
            Assert.That(e, Is.TypeOf(type));
            Assert.That(e.Call, Is.EqualTo("PTZ_LinkGetPTPos"));
            Assert.That(new[] { e.Result, (int)e.Kind, e.Code }, Is.EqualTo(new[] { 1, (int)kind, code }));
            Assert.That(e.Text, Is.EqualTo(Library.ErrorText(kind, code)).And.Not.Empty);
            Assert.That(e.Message, Contains.Substring(e.Text));
            // The head answers again: the link stays usable.
            sim.Control("faults");
            head.GetPanTilt();
        }

        [Test]
        public void ARejectedArgumentSendsNothing()
        {
            sim.Control("clear-requests");
            var e = Assert.Throws<PtzArgumentException>(() => head.GetMotorSpeed(1));
            Assert.That(new[] { e.Result, e.Code }, Is.EqualTo(new[] { 2, 0 }));
            Assert.Throws<PtzArgumentException>(() => head.MovePreset(17));
            Assert.Throws<PtzArgumentException>(() => head.EepRead(0, 249));
            Assert.Throws<PtzArgumentException>(() => head.EepRead(0, int.MaxValue));  // nothing allocated for it
            Assert.Throws<PtzArgumentException>(() => head.EepRead(0, -1));
            Assert.Throws<PtzArgumentException>(() => head.EepWrite(0, new byte[247]));
            Assert.That(sim.Requests(), Is.Empty);
        }

        [Test]
        public void OpeningFailuresSayWhy()
        {
            var refused = Assert.Throws<PtzOsException>(() => Head.Lan("127.0.0.1", 1));
            Assert.That(refused.Code, Is.EqualTo(111));  // ECONNREFUSED
            Assert.That(refused.Text.ToLowerInvariant(), Contains.Substring("refused"));
            Assert.Throws<PtzOsException>(() => Head.Serial("/dev/ptz-no-such-port"));
            Assert.Throws<PtzArgumentException>(() => Head.Lan("127.0.0.1", 70000));
            Assert.Throws<ArgumentNullException>(() => Head.Lan(null, 1));
            // A NUL would end the C string early: the link would go to 127.0.0.1.
            Assert.Throws<ArgumentException>(() => Head.Lan("127.0.0.1\0.evil.example", sim.Port));
            Assert.Throws<ArgumentException>(() => Head.Serial("/dev/ttyS0\0x"));
            Assert.That(Classic.LanOpen("127.0.0.1\0x", sim.Port), Is.EqualTo(Classic.BadParam));
        }

        [Test]
        public void AClosedLinkIsNeverCalledAgain()
        {
            int handle = head.Handle;
            Assert.That(handle, Is.GreaterThan(0));
            head.Close();
            Assert.That(head.IsClosed && head.Handle == 0);
            Assert.Throws<ObjectDisposedException>(() => head.Initialize());
            Assert.Throws<ObjectDisposedException>(() => head.GetPanTilt());
            head.Dispose();  // twice is harmless
            // The library's link is gone, not only the object.
            Assert.That(Native.PTZ_LinkClose(handle), Is.EqualTo(Native.BadParam));
        }

        [Test]
        public void ALinkTheHeadDroppedFailsAsALinkFailure()
        {
            head.Initialize();
            sim.Control("drop");
            PtzException e = Assert.Catch<PtzException>(() => head.Initialize());
            Assert.That(e.Result, Is.EqualTo(1));
            Assert.That(e.Text, Is.EqualTo(Library.ErrorText(e.Kind, e.Code)));
        }

        // Closing while a call is running on another thread: the running call
        // ends as it would have, the link is closed after it, and every call
        // from then on is refused by the binding, never sent on a stale handle.
        [Test]
        public void ACloseDuringACallWaitsForIt()
        {
            sim.Control("faults delay=1500");
            sim.Control("clear-requests");
            head.SetPanTilt(0, 0, 0);
            int handle = head.Handle;
            PanTilt seen = new PanTilt(-1, -1);
            Exception failure = null;
            var caller = new Thread(() =>
            {
                try { seen = head.GetPanTilt(); }
                catch (Exception e) { failure = e; }
            });
            caller.Start();
            // The GetPanTilt request is at the head (or the call is over).
            while (sim.Requests().Count < 2 && caller.IsAlive) Thread.Sleep(5);
            head.Close();
            Assert.That(head.IsClosed);
            caller.Join();
            Assert.That(failure, Is.Null);
            Assert.That(new[] { seen.Pan, seen.Tilt }, Is.EqualTo(new[] { 0, 0 }));
            Assert.Throws<ObjectDisposedException>(() => head.GetPanTilt());
            Assert.That(Native.PTZ_LinkClose(handle), Is.EqualTo(Native.BadParam));  // closed after the call
        }

        [Test]
        public void CallsRacingACloseEndCleanly()
        {
            int calls = 0, closeReturned = 0;
            var failures = new List<Exception>();
            var threads = Enumerable.Range(0, 4).Select(t => new Thread(() =>
            {
                for (;;)
                {
                    try
                    {
                        bool afterClose = Volatile.Read(ref closeReturned) == 1;
                        head.GetPanTilt();
                        Interlocked.Increment(ref calls);
                        if (afterClose) throw new Exception("a call begun after Close returned went to the library");
                    }
                    catch (ObjectDisposedException)
                    {
                        return;
                    }
                    catch (Exception e)
                    {
                        lock (failures) failures.Add(e);
                        return;
                    }
                }
            })).ToList();
            threads.ForEach(t => t.Start());
            while (Volatile.Read(ref calls) < 200 && threads.All(t => t.IsAlive)) Thread.Sleep(1);
            head.Close();
            Volatile.Write(ref closeReturned, 1);
            threads.ForEach(t => t.Join());
            Assert.That(failures, Is.Empty);
        }

        [Test]
        public void TwoHeadsFromTwoThreads()
        {
            using (var other = new Sim())
            using (var second = Head.Lan("127.0.0.1", other.Port))
            {
                var failures = new List<Exception>();
                Action<Head, int> drive = (h, b) =>
                {
                    try
                    {
                        for (int i = 0; i < 50; i++)
                        {
                            h.SetPanTilt(0, b + i, -(b + i));
                            PanTilt at = h.GetPanTilt();
                            if (at.Pan != b + i || at.Tilt != -(b + i)) throw new Exception("read back " + at);
                        }
                    }
                    catch (Exception e)
                    {
                        lock (failures) failures.Add(e);
                    }
                };
                var left = new Thread(() => drive(head, 1000));
                var right = new Thread(() => drive(second, 5000));
                left.Start();
                right.Start();
                left.Join();
                right.Join();
                Assert.That(failures, Is.Empty);
                Assert.That(head.GetPanTilt().Pan, Is.EqualTo(1049));
                Assert.That(second.GetPanTilt().Pan, Is.EqualTo(5049));
            }
        }
    }
}
