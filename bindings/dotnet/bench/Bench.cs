using System;
using System.Diagnostics;
using System.Linq;

namespace Qd500.Bench
{
    /// <summary>An APDU round trip through Reader.Transmit and through the raw
    /// import, in alternating blocks: Bench PORT ROUNDS BLOCKS (ROUNDS calls of each).</summary>
    static class Program
    {
        static readonly byte[] Challenge = { 0x00, 0x84, 0x00, 0x00, 0x08 };

        static int Main(string[] args)
        {
            int rounds = int.Parse(args[1]), repeats = Math.Max(1, int.Parse(args[2]));
            using (var reader = new Reader(args[0]))
            {
                reader.SelectCard("CPU");
                reader.PowerOn();
                var resp = new byte[Native.RESPONSE_MAX];
                // Warmed up first: the JIT's first calls are no per-call cost.
                for (int i = 0; i < 20; i++)
                {
                    reader.Transmit(Challenge);
                    Native.qd500_transmit(reader.Handle, Challenge, (UIntPtr)Challenge.Length, resp, (UIntPtr)resp.Length, out _);
                }
                double binding = 0, raw = 0;
                int block = Math.Max(1, rounds / repeats);
                for (int k = 0; k < 2 * repeats; k++)
                {
                    // Blocks of each in turn, so drift in the machine's load hits both alike.
                    var clock = Stopwatch.StartNew();
                    if (k % 2 == 0)
                        for (int i = 0; i < block; i++)
                            reader.Transmit(Challenge);
                    else
                        for (int i = 0; i < block; i++)
                            if (Native.qd500_transmit(reader.Handle, Challenge, (UIntPtr)Challenge.Length, resp, (UIntPtr)resp.Length, out _) != 0)
                                throw new Exception("transmit failed");
                    if (k % 2 == 0)
                        binding += clock.Elapsed.TotalMilliseconds * 1000;
                    else
                        raw += clock.Elapsed.TotalMilliseconds * 1000;
                }
                int calls = block * repeats;
                // The wrapper's own cost, without the line: a call the library
                // answers at once (the time-out setter) through each path.
                const int quick = 200000;
                var span = TimeSpan.FromSeconds(10);
                var watch = Stopwatch.StartNew();
                for (int i = 0; i < quick; i++)
                    reader.Timeout = span;
                double wrapped = watch.Elapsed.TotalMilliseconds * 1000 / quick;
                watch.Restart();
                for (int i = 0; i < quick; i++)
                    Native.qd500_set_timeout_ms(reader.Handle, 10000);
                double direct = watch.Elapsed.TotalMilliseconds * 1000 / quick;
                Console.WriteLine("{0:F1} {1:F1} {2:F3} {3:F3}", binding / calls, raw / calls, wrapped, direct);
            }
            return 0;
        }
    }
}
