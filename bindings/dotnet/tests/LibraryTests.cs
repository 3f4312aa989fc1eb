using System;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text.RegularExpressions;
using NUnit.Framework;

namespace Qd500.Tests
{
    /// <summary>The imports and the calls that need no reader.</summary>
    [TestFixture]
    public class LibraryTests
    {
        static MethodInfo[] Imports() =>
            typeof(Reader).Assembly.GetType("Qd500.Native")
                .GetMethods(BindingFlags.Static | BindingFlags.NonPublic | BindingFlags.Public)
                .Where(m => (m.Attributes & MethodAttributes.PinvokeImpl) != 0).ToArray();

        [Test]
        public void EveryImportIsCdeclFromQd500()
        {
            var imports = Imports();
            Assert.That(imports, Is.Not.Empty);
            foreach (var m in imports)
            {
                var import = m.GetCustomAttributes(typeof(DllImportAttribute), false).Cast<DllImportAttribute>().Single();
                Assert.AreEqual(CallingConvention.Cdecl, import.CallingConvention, m.Name);
                Assert.AreEqual("qd500", import.Value, m.Name);
            }
            var callbacks = typeof(Reader).Assembly.GetTypes().Where(t => t.IsSubclassOf(typeof(MulticastDelegate)) && t.Namespace == "Qd500");
            foreach (var t in callbacks)
            {
                var pointer = (UnmanagedFunctionPointerAttribute)t.GetCustomAttributes(typeof(UnmanagedFunctionPointerAttribute), false).Single();
                Assert.AreEqual(CallingConvention.Cdecl, pointer.CallingConvention, t.Name);
            }
        }

        [Test]
        public void EveryFunctionOfTheHeaderIsImported()
        {
            var header = Environment.GetEnvironmentVariable("QD500_HEADER");
            if (string.IsNullOrEmpty(header))
                Assert.Ignore("QD500_HEADER names no qd500.h");
            var declared = Regex.Matches(File.ReadAllText(header), @"QD500_CDECL\s+(qd500_\w+)\(")
                .Cast<Match>().Select(m => m.Groups[1].Value).OrderBy(n => n);
            CollectionAssert.AreEquivalent(declared, Imports().Select(m => m.Name));
        }

        [Test]
        public void CardTypeTableWithItsAlias()
        {
            var sle = Reader.CardInfo("sle4442");
            Assert.AreEqual("S4442", sle.Name);
            Assert.AreEqual("SLE4442", sle.Alias);
            Assert.AreEqual(0x42, sle.Code);
            Assert.AreEqual(CardFamily.Sle4442, sle.Family);
            Assert.AreEqual(256, sle.MemorySize);
            Assert.AreEqual(3, sle.CodeLength);
            Assert.AreEqual(3, sle.CodeTries);
            Assert.IsTrue(sle.Features.HasFlag(CardFeatures.PresentCode));

            var all = Reader.CardTypes();
            Assert.AreEqual(all.Count, all.Select(c => c.Name).Distinct().Count());
            Assert.That(all.Select(c => c.Name), Has.Member("CPU").And.Member("AT24C16"));
            Assert.AreEqual(2048, all.Single(c => c.Name == "AT24C16").MemorySize);
            Assert.AreEqual(2048, Reader.CardSize("AT24C16"));
            var unknown = Assert.Throws<ArgumentException>(() => Reader.CardInfo("NO-SUCH-CARD"));
            StringAssert.Contains("NO-SUCH-CARD", unknown.Message);
        }

        [Test]
        public void DesHelpers()
        {
            // FIPS 81's example: key 0123456789ABCDEF, "Now is t".
            var key = Hex.Bytes("0123456789ABCDEF");
            var plain = Hex.Bytes("4E6F772069732074");
            var cipher = Des.Encrypt(key, plain);
            Assert.AreEqual(Hex.Bytes("3FA40E8A984D4815"), cipher);
            Assert.AreEqual(plain, Des.Decrypt(key, cipher));

            var key16 = Hex.Bytes("0123456789ABCDEFFEDCBA9876543210");
            Assert.AreEqual(plain, Des.TripleDecrypt(key16, Des.TripleEncrypt(key16, plain)));
            Assert.AreEqual(16, Des.Diversify(key16, plain).Length);

            var block = Des.PinBlock("1234", "4000123412341234", key16);
            Assert.AreEqual("1234", Des.PinFromBlock(block, "4000123412341234", key16));
            Assert.Throws<ProtocolException>(() => Des.PinFromBlock(block, "4000999999999999", key16));
            Assert.Throws<ArgumentException>(() => Des.Encrypt(new byte[7], plain));
        }
    }
}
