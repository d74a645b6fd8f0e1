// A ptz-sim process on loopback for the tests, with its control channel:
// the requests it saw, faults to inject, the link to drop.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Net.Sockets;
using System.Text;
using System.Text.RegularExpressions;

namespace Ptz.Tests
{
    internal sealed class Sim : IDisposable
    {
        private readonly Process process;
        private readonly TcpClient control;
        private readonly StreamReader reader;
        private readonly StreamWriter writer;

        public int Port { get; private set; }

        public Sim()
        {
            string binary = Environment.GetEnvironmentVariable("PTZ_SIM_BIN") ?? "ptz-sim";
            var start = new ProcessStartInfo(binary, "--instant --listen 127.0.0.1:0 --control 127.0.0.1:0")
            {
                UseShellExecute = false,
                RedirectStandardOutput = true,
            };
            process = Process.Start(start);
            int controlPort = 0;
            while (Port == 0 || controlPort == 0)
            {
                string line = process.StandardOutput.ReadLine();
                if (line == null) throw new InvalidOperationException("ptz-sim ended before it listened");
                Match m = Regex.Match(line, @"(listening|control) on [0-9.]+:(\d+)");
                if (!m.Success) continue;
                if (m.Groups[1].Value == "listening") Port = int.Parse(m.Groups[2].Value);
                else controlPort = int.Parse(m.Groups[2].Value);
            }
            control = new TcpClient("127.0.0.1", controlPort);
            control.ReceiveTimeout = 30000;  // a hung simulator fails the test, never hangs it
            var stream = control.GetStream();
            reader = new StreamReader(stream, Encoding.ASCII);
            writer = new StreamWriter(stream, new UTF8Encoding(false)) { NewLine = "\n", AutoFlush = true };
        }

        // One control line; its one-line answer, which must be "ok".
        public void Control(string line)
        {
            writer.WriteLine(line);
            string answer = reader.ReadLine();
            if (answer != "ok") throw new InvalidOperationException("ptz-sim: " + line + ": " + answer);
        }

        // The request frames the head has seen since the last clear, as hex.
        public List<string> Requests()
        {
            writer.WriteLine("requests");
            var frames = new List<string>();
            for (string line; (line = reader.ReadLine()) != "end";)
            {
                if (line == null) throw new InvalidOperationException("ptz-sim closed its control channel");
                frames.Add(line.Trim().ToUpperInvariant());
            }
            return frames;
        }

        public void Dispose()
        {
            control.Close();
            try
            {
                if (!process.HasExited) process.Kill();
            }
            catch (InvalidOperationException)
            {
            }
            process.WaitForExit();
            process.Dispose();
        }
    }
}
