using System;
using System.IO;
using System.Linq;
using Qd500.Testing;

namespace Qd500.Tests
{
    static class Hex
    {
        public static byte[] Bytes(string hex) =>
            Enumerable.Range(0, hex.Length / 2).Select(i => Convert.ToByte(hex.Substring(2 * i, 2), 16)).ToArray();
    }

    static class Frames
    {
        /// <summary>The frames the simulator received so far.</summary>
        public static int Received(Simulator sim) =>
            File.Exists(sim.LogPath) ? File.ReadAllLines(sim.LogPath).Count(l => l.Contains(" host> ")) : 0;
    }
}
