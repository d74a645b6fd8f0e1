// Two heads at once, one thread each: each walks its head through a few
// positions and reads each one back.
//   mono TwoHeads.exe HOST PORT1 PORT2
using System;
using System.Threading;
using Ptz;

internal static class TwoHeads
{
    private static int Main(string[] args)
    {
        if (args.Length != 3)
        {
            Console.Error.WriteLine("usage: TwoHeads HOST PORT1 PORT2");
            return 2;
        }
        int failures = 0;
        Thread[] threads = new Thread[2];
        for (int i = 0; i < 2; i++)
        {
            int port = int.Parse(args[1 + i]), sign = i == 0 ? 1 : -1;
            threads[i] = new Thread(() =>
            {
                try
                {
                    using (Head head = Head.Lan(args[0], port))
                    {
                        head.Initialize();
                        for (int step = 1; step <= 5; step++)
                        {
                            head.SetPanTilt(1, sign * step * 1000, -sign * step * 200);
                            PanTilt at = head.GetPanTilt();
                            Console.WriteLine("head on port {0}: {1}", port, at);
                            if (at.Pan != sign * step * 1000 || at.Tilt != -sign * step * 200)
                                throw new Exception("the head is not where it was sent");
                        }
                    }
                }
                catch (Exception e)  // a PtzException carries the library's own text
                {
                    Console.Error.WriteLine("head on port {0}: {1}", port, e.Message);
                    Interlocked.Increment(ref failures);
                }
            });
            threads[i].Start();
        }
        foreach (Thread t in threads) t.Join();
        Console.WriteLine(failures == 0 ? "both heads done" : "failed");
        return failures == 0 ? 0 : 1;
    }
}
