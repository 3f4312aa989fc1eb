using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Net.Sockets;
using System.Text;
using System.Threading;
using Mono.Unix;
using Mono.Unix.Native;

namespace Qd500.Testing
{
    /// <summary>The simulator did not start or refused a control command.</summary>
    public class SimulatorException : Exception
    {
        public SimulatorException(string message) : base(message) { }
    }

    /// <summary>qd500-sim --pty with a scenario, driven through its control
    /// socket and stopped by its process id, whatever happens.</summary>
    /// <example>
    /// using (var sim = new Simulator("{\"card\": {\"type\": \"S4442\"}}"))
    /// using (var reader = new Reader(sim.Port)) { ... }
    /// </example>
    /// <remarks>The simulator is QD500_SIM where that is set, else qd500-sim
    /// on PATH. Port is a link to the simulator's pty that follows it across
    /// simulated hang-ups. A simulator not disposed is stopped when the
    /// process ends.</remarks>
    public sealed class Simulator : IDisposable
    {
        static readonly TimeSpan StartTime = TimeSpan.FromSeconds(10);
        readonly object _controlLock = new object();
        readonly string _dir;
        Process _process;
        Socket _control;

        /// <summary>Starts the simulator: scenario is its JSON text (null: its
        /// default, a CPU card); baud paces the line (null: unpaced).</summary>
        public Simulator(string scenarioJson = null, int? baud = null)
        {
            var executable = Find();
            _dir = Path.Combine(Path.GetTempPath(), "qd500-sim-" + Guid.NewGuid().ToString("N"));
            Directory.CreateDirectory(_dir);
            var args = new List<string> { "--pty", "--control", Control, "--link", PathIn("port"), "--log", LogPath };
            if (scenarioJson != null)
            {
                File.WriteAllText(PathIn("scenario.json"), scenarioJson);
                args.Add("--scenario");
                args.Add(PathIn("scenario.json"));
            }
            if (baud.HasValue)
            {
                args.Add("--baud");
                args.Add(baud.Value.ToString());
            }
            var info = new ProcessStartInfo(executable, string.Join(" ", args.Select(Quote)))
            {
                UseShellExecute = false,
                RedirectStandardInput = true,
                RedirectStandardOutput = true,
                RedirectStandardError = true,
            };
            var stderr = new StringBuilder();
            try
            {
                _process = Process.Start(info);
                AppDomain.CurrentDomain.ProcessExit += StopAtExit;
                // Drained as it comes: later slave paths after hang-ups never fill the pipe.
                _process.OutputDataReceived += (s, e) => { };
                _process.ErrorDataReceived += (s, e) => { lock (stderr) if (e.Data != null) stderr.AppendLine(e.Data); };
                _process.BeginOutputReadLine();
                _process.BeginErrorReadLine();
                var deadline = DateTime.UtcNow + StartTime;
                // The socket is bound after the pty is served: try until it is.
                while (_control == null)
                {
                    if (_process.HasExited)
                    {
                        _process.WaitForExit();
                        lock (stderr)
                            throw new SimulatorException("qd500-sim ended: " + stderr.ToString().Trim());
                    }
                    if (DateTime.UtcNow > deadline)
                        throw new SimulatorException("qd500-sim did not start in time");
                    _control = Connect();
                    if (_control == null)
                        Thread.Sleep(10);
                }
                _control.ReceiveTimeout = (int)StartTime.TotalMilliseconds;
            }
            catch
            {
                Dispose();
                throw;
            }
        }

        /// <summary>The port to open a Reader on.</summary>
        public string Port => PathIn("port");

        /// <summary>The simulator's process id.</summary>
        public int Pid => _process?.Id ?? 0;

        /// <summary>The simulator's frame log: every frame in ("host>") and out ("sim>").</summary>
        public string LogPath => PathIn("frames.log");

        /// <summary>Puts a fresh card of that type ("S4442", "CPU", ...) into the slot.</summary>
        public void Insert(string cardType) => Command("insert " + Word(cardType, nameof(cardType)));

        /// <summary>Takes the card out of the slot.</summary>
        public void Remove() => Command("remove");

        /// <summary>Swipes a card past the head; null (or "-") for a track it cannot read.</summary>
        public void Swipe(string track2, string track3) =>
            Command("swipe " + Track(track2, nameof(track2)) + " " + Track(track3, nameof(track3)));

        /// <summary>The slot, the head and the card's whole state, as text.</summary>
        public string Dump() => Command("dump");

        /// <summary>Stops the simulator by its process id and removes its files.</summary>
        public void Dispose()
        {
            lock (_controlLock)
            {
                _control?.Close();
                _control = null;
            }
            if (_process != null)
            {
                End(_process);
                _process.Dispose();
                _process = null;
                AppDomain.CurrentDomain.ProcessExit -= StopAtExit;
            }
            try
            {
                Directory.Delete(_dir, true);
            }
            catch (IOException)
            {
            }
            GC.SuppressFinalize(this);
        }

        ~Simulator()
        {
            if (_process != null)
                End(_process);
        }

        void StopAtExit(object sender, EventArgs e) => Dispose();

        /// <summary>SIGTERM, then SIGKILL after 5 s.</summary>
        static void End(Process process)
        {
            try
            {
                if (process.HasExited)
                    return;
                Syscall.kill(process.Id, Signum.SIGTERM);
                if (!process.WaitForExit(5000))
                {
                    process.Kill();
                    process.WaitForExit();
                }
            }
            catch (InvalidOperationException)
            {
                // never started or already reaped
            }
        }

        /// <summary>Sends one control line; the answer's text before its closing "ok".</summary>
        public string Command(string line)
        {
            lock (_controlLock)
            {
                if (_control == null)
                    throw new SimulatorException("the simulator is not running");
                _control.Send(Encoding.UTF8.GetBytes(line + "\n"));
                var answer = new MemoryStream();
                var chunk = new byte[4096];
                while (true)
                {
                    int n = _control.Receive(chunk);
                    if (n == 0)
                        throw new SimulatorException("the simulator closed its control socket on '" + line + "'");
                    answer.Write(chunk, 0, n);
                    if (chunk[n - 1] != (byte)'\n')
                        continue;
                    var lines = Encoding.UTF8.GetString(answer.ToArray()).TrimEnd('\n').Split('\n');
                    var last = lines[lines.Length - 1];
                    if (last == "ok")
                        return string.Join("\n", lines.Take(lines.Length - 1));
                    if (last.StartsWith("error: ", StringComparison.Ordinal))
                        throw new SimulatorException(line + ": " + last.Substring(7));
                }
            }
        }

        string Control => PathIn("control");

        string PathIn(string name) => Path.Combine(_dir, name);

        Socket Connect()
        {
            if (!File.Exists(Control) || !File.Exists(Port))
                return null;
            var socket = new Socket(AddressFamily.Unix, SocketType.Stream, ProtocolType.Unspecified);
            try
            {
                socket.Connect(new UnixEndPoint(Control));
                return socket;
            }
            catch (SocketException)
            {
                socket.Close();
                return null;
            }
        }

        static string Find()
        {
            var named = Environment.GetEnvironmentVariable("QD500_SIM");
            if (!string.IsNullOrEmpty(named))
                return named;
            foreach (var dir in (Environment.GetEnvironmentVariable("PATH") ?? "").Split(':'))
            {
                var candidate = Path.Combine(dir, "qd500-sim");
                if (dir.Length > 0 && File.Exists(candidate))
                    return candidate;
            }
            throw new SimulatorException("qd500-sim not found: set QD500_SIM to its path or put it on PATH");
        }

        // Control lines are split at blanks: a word must hold none.
        static string Word(string value, string name)
        {
            if (value == null)
                throw new ArgumentNullException(name);
            if (value.Length == 0 || value == "-" || value.Any(char.IsWhiteSpace))
                throw new ArgumentException(name + " must be a non-empty text without blanks", name);
            return value;
        }

        static string Track(string value, string name) => value == null || value == "-" ? "-" : Word(value, name);

        static string Quote(string arg) => "\"" + arg.Replace("\\", "\\\\").Replace("\"", "\\\"") + "\"";
    }
}
