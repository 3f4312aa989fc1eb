using System;
using System.Collections.Generic;
using System.Linq;

namespace Qd500
{
    /// <summary>An APDU's response: its data and its status word.</summary>
    public sealed class Response
    {
        public byte[] Data { get; }
        public int SW { get; }
        public int SW1 => SW >> 8;
        public int SW2 => SW & 0xFF;

        public Response(byte[] data, int sw)
        {
            Data = data ?? throw new ArgumentNullException(nameof(data));
            SW = sw;
        }

        public override string ToString() => "Response(" + BitConverter.ToString(Data).Replace("-", "") + ", SW " + SW.ToString("X4") + ")";
    }

    /// <summary>The text of tracks 2 and 3 ("" when not read or unreadable).</summary>
    public sealed class Tracks
    {
        public string Track2 { get; }
        public string Track3 { get; }
        public bool Unreadable2 { get; }
        public bool Unreadable3 { get; }

        public Tracks(string track2, string track3, bool unreadable2, bool unreadable3)
        {
            Track2 = track2;
            Track3 = track3;
            Unreadable2 = unreadable2;
            Unreadable3 = unreadable3;
        }
    }

    /// <summary>A reply to SendFrame: its two status characters and its data field as hex text.</summary>
    public sealed class FrameReply
    {
        public string Status { get; }
        public string DataHex { get; }

        public FrameReply(string status, string dataHex)
        {
            Status = status;
            DataHex = dataHex;
        }
    }

    /// <summary>Which way an observed frame went.</summary>
    public enum Direction { Sent = 0, Received = 1 }

    /// <summary>The steps of a payment card's file-system set-up.</summary>
    public enum Personalisation
    {
        DeleteMF = 0, CreateMF, EndMF, CreateDF, EndDF, CreateFile, SelectFile, WriteKey, WriteBinary, AppendRecord
    }

    /// <summary>The family of a card type.</summary>
    public enum CardFamily { Cpu = 0, Sle4442 = 1, Sle4428 = 2, At24 = 3, At88sc = 4 }

    /// <summary>What a card type takes.</summary>
    [Flags]
    public enum CardFeatures
    {
        None = 0,
        Memory = 0x001,
        PresentCode = 0x002,
        ChangeCode = 0x004,
        ReadProtection = 0x008,
        Protect = 0x010,
        At88Verify = 0x020,
        At88Erase = 0x040,
        At88Personalise = 0x080,
        At24Sequence = 0x100,
        Apdu = 0x200,
    }

    /// <summary>A card type as the library's table describes it.</summary>
    public sealed class CardInfo
    {
        /// <summary>"S4442", as SelectCard takes it.</summary>
        public string Name { get; }
        /// <summary>The reader's type byte.</summary>
        public int Code { get; }
        public CardFamily Family { get; }
        /// <summary>Bytes of card memory; 0 for a CPU card.</summary>
        public int MemorySize { get; }
        /// <summary>Bytes of its security code; 0: none.</summary>
        public int CodeLength { get; }
        /// <summary>Wrong codes in a row before it locks; 0: none or unknown.</summary>
        public int CodeTries { get; }
        /// <summary>Bytes from address 0 that protection covers.</summary>
        public int ProtectedBytes { get; }
        public CardFeatures Features { get; }
        /// <summary>The name people use beside it ("SLE4442"), also taken; "" for none.</summary>
        public string Alias { get; }

        internal CardInfo(Native.CardInfo raw)
        {
            Name = Native.Text(raw.name);
            Code = (int)raw.code;
            Family = (CardFamily)raw.family;
            MemorySize = (int)raw.memory_size;
            CodeLength = (int)raw.code_length;
            CodeTries = (int)raw.code_tries;
            ProtectedBytes = (int)raw.protected_bytes;
            Features = (CardFeatures)raw.features;
            Alias = Native.Text(raw.alias);
        }

        static Native.CardInfo Empty() =>
            new Native.CardInfo { size = (UIntPtr)System.Runtime.InteropServices.Marshal.SizeOf(typeof(Native.CardInfo)) };

        /// <summary>The card type of a name, in any case, or of the name people
        /// use for it ("s4442" and "SLE4442" give "S4442").</summary>
        public static CardInfo Of(string cardType)
        {
            var raw = Empty();
            if (Native.qd500_card_info(Native.CString(cardType, nameof(cardType)), ref raw) != 0)
                throw new ArgumentException(Native.Text(Native.qd500_message(IntPtr.Zero)), nameof(cardType));
            return new CardInfo(raw);
        }

        /// <summary>Every card type, in the library's order.</summary>
        public static IReadOnlyList<CardInfo> All()
        {
            var found = new List<CardInfo>();
            int count = Native.qd500_card_type_count();
            for (uint i = 0; i < count; i++)
            {
                var raw = Empty();
                if (Native.qd500_card_info_at(i, ref raw) == 0)
                    found.Add(new CardInfo(raw));
            }
            return found;
        }

        public override string ToString() => Name;
    }

    /// <summary>DES, triple-DES, key diversity and PIN blocks; no reader needed.</summary>
    public static class Des
    {
        static byte[] Sized(byte[] value, string name, params int[] lengths)
        {
            if (value == null)
                throw new ArgumentNullException(name);
            if (!lengths.Contains(value.Length))
                throw new ArgumentException(name + " must be " + string.Join(" or ", lengths) + " bytes, not " + value.Length, name);
            return value;
        }

        static byte[] Run(Func<byte[], int> call, int size)
        {
            var output = new byte[size];
            int result = call(output);
            if (result != 0)
                throw ReaderException.For(result, "", Native.Text(Native.qd500_strerror(result)));
            return output;
        }

        /// <summary>One block under a single-DES key.</summary>
        public static byte[] Encrypt(byte[] key, byte[] block) =>
            Run(o => Native.qd500_des_encrypt(Sized(key, nameof(key), 8), Sized(block, nameof(block), 8), o), 8);

        public static byte[] Decrypt(byte[] key, byte[] block) =>
            Run(o => Native.qd500_des_decrypt(Sized(key, nameof(key), 8), Sized(block, nameof(block), 8), o), 8);

        /// <summary>One block under a two-key triple-DES key (K1 K2 K1).</summary>
        public static byte[] TripleEncrypt(byte[] key, byte[] block) =>
            Run(o => Native.qd500_3des_encrypt(Sized(key, nameof(key), 16), Sized(block, nameof(block), 8), o), 8);

        public static byte[] TripleDecrypt(byte[] key, byte[] block) =>
            Run(o => Native.qd500_3des_decrypt(Sized(key, nameof(key), 16), Sized(block, nameof(block), 8), o), 8);

        /// <summary>The 16-byte key diversified from a master key by 8 bytes of data.</summary>
        public static byte[] Diversify(byte[] key, byte[] data) =>
            Run(o => Native.qd500_diversify(Sized(key, nameof(key), 16), Sized(data, nameof(data), 8), o), 16);

        /// <summary>An ISO 9564-1 format 0 PIN block: pin 4 to 12 digits, pan
        /// the account number (13 to 19 digits), key 8 or 16 bytes.</summary>
        public static byte[] PinBlock(string pin, string pan, byte[] key)
        {
            Sized(key, nameof(key), 8, 16);
            var pinText = Native.CString(pin, nameof(pin));
            var panText = Native.CString(pan, nameof(pan));
            return Run(o => Native.qd500_pin_block(pinText, panText, key, (UIntPtr)key.Length, o), 8);
        }

        /// <summary>The PIN digits of a format-0 block of that account number.</summary>
        public static string PinFromBlock(byte[] block, string pan, byte[] key)
        {
            Sized(block, nameof(block), 8);
            Sized(key, nameof(key), 8, 16);
            var panText = Native.CString(pan, nameof(pan));
            var pin = Run(o => Native.qd500_pin_from_block(block, panText, key, (UIntPtr)key.Length, o, (UIntPtr)o.Length), Native.PIN_MAX);
            return Native.Text(pin, System.Text.Encoding.ASCII);
        }
    }
}
