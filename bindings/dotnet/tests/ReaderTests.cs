using System;
using System.Diagnostics;
using System.Linq;
using System.Threading;
using NUnit.Framework;
using Qd500.Testing;

namespace Qd500.Tests
{
    /// <summary>Opening and closing.</summary>
    [TestFixture]
    public class OpenTests
    {
        [Test]
        public void MissingPortGivesTheSystemsReason()
        {
            var e = Assert.Throws<PortException>(() => new Reader("/nonexistent/qd500-tty"));
            Assert.AreEqual(-2, e.Result);
            Assert.AreEqual("/nonexistent/qd500-tty", e.Port);
            Assert.AreEqual("No such file or directory", e.Reason);
            StringAssert.Contains("cannot open /nonexistent/qd500-tty: No such file or directory", e.Message);
        }

        [Test]
        public void DisposedReaderSaysSoClearly()
        {
            using (var sim = new Simulator())
            {
                var reader = new Reader(sim.Port);
                reader.Dispose();
                reader.Dispose();
                reader.Cancel();
                var e = Assert.Throws<ObjectDisposedException>(() => reader.PowerOn());
                StringAssert.Contains(sim.Port, e.Message);
                // The port is free again for another opener.
                using (var again = new Reader(sim.Port))
                    Assert.AreEqual(3, again.DeviceStatus().Length);
            }
        }
    }

    /// <summary>The simulator fixture as an application's tests use it.</summary>
    [TestFixture]
    public class SimulatorTests
    {
        [Test]
        public void RemoveAndInsertReachTheReader()
        {
            int pid;
            using (var sim = new Simulator("{\"card\": {\"type\": \"S4442\"}}"))
            using (var reader = new Reader(sim.Port))
            {
                pid = sim.Pid;
                reader.SelectCard("S4442");
                reader.PowerOn();
                sim.Remove();
                var e = Assert.Throws<NoCardException>(() => reader.ReadMemory(0, 4));
                Assert.AreEqual("21", e.Status);
                sim.Insert("CPU");
                reader.SelectCard("CPU");
                Assert.AreEqual(Hex.Bytes("3B680000514435303053494D"), reader.PowerOn());
                var refused = Assert.Throws<SimulatorException>(() => sim.Insert("NO-SUCH-CARD"));
                StringAssert.Contains("NO-SUCH-CARD", refused.Message);
            }
            Assert.Throws<ArgumentException>(() => Process.GetProcessById(pid));
        }
    }

    /// <summary>A CPU card: ATR, APDUs with and without their follow-ups, PINs.</summary>
    [TestFixture]
    public class CpuCardTests
    {
        static readonly byte[] SelectMF = Hex.Bytes("00A40000023F00");

        Simulator _sim;
        Reader _reader;

        [SetUp]
        public void Start()
        {
            _sim = new Simulator();
            _reader = new Reader(_sim.Port);
            _reader.SelectCard("CPU");
        }

        [TearDown]
        public void Stop()
        {
            _reader?.Dispose();
            _sim?.Dispose();
        }

        [Test]
        public void AtrAndApduWithGetResponse()
        {
            Assert.AreEqual(Hex.Bytes("3B680000514435303053494D"), _reader.PowerOn());
            var plain = _reader.Transmit(SelectMF);
            Assert.AreEqual(0x61, plain.SW1);
            Assert.IsEmpty(plain.Data);
            var fci = _reader.GetResponse(plain.SW2);
            Assert.AreEqual(0x9000, fci.SW);
            StringAssert.Contains("1PAY.SYS.DDF01", System.Text.Encoding.ASCII.GetString(fci.Data));
            var followed = _reader.TransmitGetResponse(SelectMF);
            Assert.AreEqual(fci.Data, followed.Data);
            Assert.AreEqual(0x9000, followed.SW);
        }

        [Test]
        public void WrongPinTellsTriesLeftThenLocks()
        {
            _reader.PowerOn();
            _reader.TransmitGetResponse(SelectMF);
            var wrong = Assert.Throws<WrongCodeException>(() => _reader.VerifyPin(new byte[3], 1));
            Assert.AreEqual(2, wrong.TriesLeft);
            Assert.AreEqual(0x63C2, wrong.SW);
            StringAssert.Contains("63C2", wrong.Message);
            _reader.VerifyPin(Hex.Bytes("123456"), 1);
            foreach (var left in new[] { 2, 1, 0 })
                Assert.AreEqual(left, Assert.Throws<WrongCodeException>(() => _reader.VerifyPin(new byte[3], 1)).TriesLeft);
            Assert.AreEqual(0x6983, Assert.Throws<CodeLockedException>(() => _reader.VerifyPin(Hex.Bytes("123456"), 1)).SW);
        }

        [Test]
        public void ObserverSeesEachExchangeUntilCleared()
        {
            _reader.PowerOn();
            var seen = new System.Collections.Generic.List<Tuple<Direction, byte[]>>();
            _reader.SetObserver((direction, frame) => seen.Add(Tuple.Create(direction, frame)));
            GC.Collect();
            GC.WaitForPendingFinalizers();
            _reader.Transmit(SelectMF);
            Assert.AreEqual(new[] { Direction.Sent, Direction.Received }, seen.Select(s => s.Item1).ToArray());
            StringAssert.Contains("00A40000023F00", System.Text.Encoding.ASCII.GetString(seen[0].Item2));
            _reader.SetObserver(null);
            _reader.Transmit(SelectMF);
            Assert.AreEqual(2, seen.Count);
        }

        [Test]
        public void UnpoweredCardIsTheReadersStatus()
        {
            var e = Assert.Throws<ReaderException>(() => _reader.Transmit(SelectMF));
            Assert.AreEqual(23, e.Result);
            Assert.AreEqual("23", e.Status);
            Assert.IsNotEmpty(e.ReaderMessage);
            StringAssert.StartsWith("result 23: the card is not powered", e.Message);
        }
    }

    /// <summary>Memory cards: SLE4442 codes and protection, an AT24 of 2 KiB.</summary>
    [TestFixture]
    public class MemoryCardTests
    {
        [Test]
        public void Sle4442CodeThenWrongCodesThenLocked()
        {
            using (var sim = new Simulator("{\"card\": {\"type\": \"S4442\"}}"))
            using (var reader = new Reader(sim.Port))
            {
                reader.SelectCard("SLE4442");
                var atr = reader.PowerOn();
                Assert.AreEqual(atr, reader.ReadMemory(0, 4));

                var refused = Assert.Throws<WrongCodeException>(() => reader.WriteMemory(0x40, new byte[] { 1 }));
                Assert.AreEqual("31", refused.Status);
                Assert.IsNull(refused.TriesLeft);

                var code = Hex.Bytes("FFFFFF");
                reader.PresentCode(code);
                var data = new byte[] { 0, 1, 0, 0xFF, 0 };
                reader.WriteMemory(0x40, data);
                Assert.AreEqual(data, reader.ReadMemory(0x40, data.Length));
                Assert.AreEqual(new[] { true, true, true, true, false, false }, reader.ReadProtection(0, 6));

                // Past the card's 256 bytes: refused here, nothing sent.
                int sent = Frames.Received(sim);
                var past = Assert.Throws<ReaderArgumentException>(() => reader.ReadMemory(250, 10));
                StringAssert.Contains("S4442", past.ReaderMessage);
                Assert.AreEqual(sent, Frames.Received(sim));

                var wrong = Hex.Bytes("000000");
                foreach (var left in new[] { 2, 1 })
                {
                    var e = Assert.Throws<WrongCodeException>(() => reader.PresentCode(wrong));
                    Assert.AreEqual(typeof(WrongCodeException), e.GetType());
                    StringAssert.Contains("error_counter " + left + "/3", sim.Dump());
                }
                Assert.Throws<WrongCodeException>(() => reader.PresentCode(wrong));
                var locked = Assert.Throws<CodeLockedException>(() => reader.PresentCode(code));
                Assert.AreEqual(33, locked.Result);
                Assert.AreEqual(0, locked.TriesLeft);
            }
        }

        [Test]
        public void At24WritesAndReadsBack2KiB()
        {
            using (var sim = new Simulator("{\"card\": {\"type\": \"AT24C16\"}}"))
            using (var reader = new Reader(sim.Port))
            {
                var image = Enumerable.Range(0, 2048).Select(i => (byte)(i % 7 == 0 ? 0 : i)).ToArray();
                reader.At24Write(0, image);
                Assert.AreEqual(image, reader.At24Read(0, image.Length));
                Assert.Throws<ArgumentOutOfRangeException>(() => reader.At24Read(0xFFFF, 2));
            }
        }
    }

    /// <summary>The magnetic head and calls that wait for it.</summary>
    [TestFixture]
    public class MagneticTests
    {
        const string NeverSwiped = "{\"magnetic\": {\"swipe\": \"never\"}}";

        [Test]
        public void ReadWaitsForTheSwipe()
        {
            using (var sim = new Simulator(NeverSwiped))
            using (var reader = new Reader(sim.Port))
            {
                Tracks got = null;
                var waiting = new Thread(() => got = reader.ReadTracks());
                waiting.Start();
                try
                {
                    sim.Swipe("4000123412341234=2512", null);
                }
                finally
                {
                    waiting.Join(10000);
                }
                Assert.AreEqual("4000123412341234=2512", got.Track2);
                Assert.AreEqual("", got.Track3);
                Assert.IsFalse(got.Unreadable2);
                Assert.IsTrue(got.Unreadable3);
            }
        }

        [Test]
        public void CancelFromAnotherThreadEndsTheWait()
        {
            using (var sim = new Simulator(NeverSwiped))
            using (var reader = new Reader(sim.Port))
            {
                var clock = Stopwatch.StartNew();
                var canceller = new Thread(() => { Thread.Sleep(300); reader.Cancel(); });
                canceller.Start();
                Assert.Throws<CancelledException>(() => reader.ReadTracks());
                canceller.Join();
                Assert.Less(clock.Elapsed.TotalSeconds, 5);
                // The reader serves the next call.
                Assert.AreEqual(3, reader.DeviceStatus().Length);
            }
        }
    }

    /// <summary>Readers on threads.</summary>
    [TestFixture]
    public class ThreadTests
    {
        const int Rounds = 8;

        static void CpuWork(Reader reader)
        {
            reader.SelectCard("CPU");
            reader.PowerOn();
            for (int i = 0; i < Rounds; i++)
            {
                var answer = reader.Transmit(Hex.Bytes("0084000008"));
                Assert.AreEqual(8, answer.Data.Length);
                Assert.AreEqual(0x9000, answer.SW);
            }
        }

        static void MemoryWork(Reader reader)
        {
            reader.SelectCard("S4442");
            var atr = reader.PowerOn();
            for (int i = 0; i < Rounds; i++)
                Assert.AreEqual(atr, reader.ReadMemory(0, 4));
        }

        /// <summary>Runs the jobs on threads at once; the first failure is thrown here.</summary>
        static double Timed(params Action[] jobs)
        {
            Exception failed = null;
            var threads = jobs.Select(job => new Thread(() =>
            {
                try { job(); }
                catch (Exception e) { Interlocked.CompareExchange(ref failed, e, null); }
            })).ToList();
            var clock = Stopwatch.StartNew();
            threads.ForEach(t => t.Start());
            threads.ForEach(t => t.Join(60000));
            if (failed != null)
                throw new AggregateException(failed);
            return clock.Elapsed.TotalSeconds;
        }

        [Test]
        public void TwoReadersAtOnce()
        {
            using (var cpuSim = new Simulator(null, 9600))
            using (var sleSim = new Simulator("{\"card\": {\"type\": \"S4442\"}}", 9600))
            using (var cpu = new Reader(cpuSim.Port))
            using (var sle = new Reader(sleSim.Port))
            {
                var alone = Timed(() => CpuWork(cpu)) + Timed(() => MemoryWork(sle));
                var together = Timed(() => CpuWork(cpu), () => MemoryWork(sle));
                // Each call leaves the runtime free while it waits on its line.
                Assert.Less(together, 0.75 * alone);
            }
        }
    }
}
