using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

namespace Qd500
{
    /// <summary>One reader on a serial port: "COM3", "3" or a device path.</summary>
    /// <remarks>Calls from several threads are serialized: each call and the
    /// reading of its result are one step, so every thread gets its own call's
    /// message. Cancel() alone runs beside them. Failures throw
    /// ReaderException (or a subclass); a wrong argument throws
    /// ArgumentException before anything is sent. Dispose() frees the port;
    /// later calls throw ObjectDisposedException.</remarks>
    public sealed class Reader : IDisposable
    {
        // A follow-up chain (61xx, 6Cxx) gathers many responses: room for all
        // the data 16-bit lengths can carry, so a chain's answer is never lost.
        const int ChainMax = 0x10000;
        const long AddressEnd = 0x10000;

        readonly object _lock = new object();
        // Guards the handle against Dispose() while Cancel() uses it.
        readonly object _handleLock = new object();
        readonly byte[] _response = new byte[Native.RESPONSE_MAX];
        readonly string _port;
        IntPtr _handle;
#pragma warning disable CS0414 // held, not read: the callbacks stay alive while installed
        Native.ObserverFn _observerFn;
        Native.IdleFn _idleFn;
#pragma warning restore CS0414
        TimeSpan _timeout;

        /// <summary>Opens the reader on a port, with a response time-out (default 10 s).</summary>
        public Reader(string port, TimeSpan? timeout = null)
        {
            var name = Native.CString(port, nameof(port), Encoding.UTF8);
            var ms = TimeoutMs(timeout ?? TimeSpan.FromSeconds(10));
            int result = Native.qd500_open(name, out var handle);
            if (result != 0)
                throw ReaderException.For(result, "", Native.Text(Native.qd500_message(IntPtr.Zero)));
            _handle = handle;
            _port = port;
            try
            {
                Run(Native.qd500_set_timeout_ms(Live(), ms));
                _timeout = timeout ?? TimeSpan.FromSeconds(10);
            }
            catch
            {
                Dispose();
                throw;
            }
        }

        /// <summary>Opens COM1 to COM999.</summary>
        public Reader(int comNumber, TimeSpan? timeout = null) : this(ComName(comNumber), timeout) { }

        static string ComName(int number)
        {
            if (number < 1 || number > 999)
                throw new ArgumentOutOfRangeException(nameof(number), number, "a COM number is 1 to 999");
            return "COM" + number;
        }

        static uint TimeoutMs(TimeSpan timeout)
        {
            if (timeout < TimeSpan.Zero || timeout.TotalMilliseconds > uint.MaxValue)
                throw new ArgumentOutOfRangeException(nameof(timeout), timeout, "a time-out is 0 to 49 days");
            return (uint)Math.Round(timeout.TotalMilliseconds);
        }

        // ---- life ----

        /// <summary>Closes the port. Waits for the call under way, so Cancel()
        /// it first where it may wait long.</summary>
        public void Dispose()
        {
            lock (_lock)
                lock (_handleLock)
                {
                    if (_handle != IntPtr.Zero)
                    {
                        Native.qd500_close(_handle);
                        _handle = IntPtr.Zero;
                        _observerFn = null;
                        _idleFn = null;
                    }
                }
            GC.SuppressFinalize(this);
        }

        // A reader left open would keep its port locked against every other opener.
        ~Reader()
        {
            if (_handle != IntPtr.Zero)
                Native.qd500_close(_handle);
        }

        public bool IsDisposed => _handle == IntPtr.Zero;

        /// <summary>The port as it was opened.</summary>
        public string Port => _port;

        /// <summary>The qd500_reader pointer, for a call of qd500.h this class
        /// does not wrap; IntPtr.Zero once disposed.</summary>
        public IntPtr Handle => _handle;

        /// <summary>The response time-out of every call.</summary>
        public TimeSpan Timeout
        {
            get => _timeout;
            set
            {
                var ms = TimeoutMs(value);
                lock (_lock)
                    Run(Native.qd500_set_timeout_ms(Live(), ms));
                _timeout = value;
            }
        }

        /// <summary>Opens the same port again, after the line failed.</summary>
        public void Reopen()
        {
            lock (_lock)
                Run(Native.qd500_reopen(Live()));
        }

        /// <summary>Traces every frame into the file at path; null stops.</summary>
        public void SetTrace(string path)
        {
            var name = path == null ? null : Native.CString(path, nameof(path));
            lock (_lock)
                Run(Native.qd500_set_trace(Live(), name));
        }

        /// <summary>Calls observer with every frame sent and every reply received,
        /// on the thread of the call; null stops. An exception in it is dropped:
        /// it cannot cross the library's frames.</summary>
        public void SetObserver(Action<Direction, byte[]> observer)
        {
            Native.ObserverFn fn = null;
            if (observer != null)
                fn = (ctx, direction, bytes, len) =>
                {
                    try
                    {
                        var frame = new byte[(int)len];
                        Marshal.Copy(bytes, frame, 0, frame.Length);
                        observer((Direction)direction, frame);
                    }
                    catch (Exception)
                    {
                    }
                };
            lock (_lock)
            {
                Run(Native.qd500_set_observer(Live(), fn, IntPtr.Zero));
                _observerFn = fn;
            }
        }

        /// <summary>Calls idle once per cycle while a call waits for the reader; null stops.</summary>
        public void SetIdle(Action idle)
        {
            Native.IdleFn fn = null;
            if (idle != null)
                fn = ctx =>
                {
                    try { idle(); }
                    catch (Exception) { }
                };
            lock (_lock)
            {
                Run(Native.qd500_set_idle(Live(), fn, IntPtr.Zero));
                _idleFn = fn;
            }
        }

        /// <summary>From another thread: ends the call that waits (a swipe, a slow
        /// reply) with CancelledException. No effect when no call waits.</summary>
        public void Cancel()
        {
            lock (_handleLock)
                if (_handle != IntPtr.Zero)
                    Native.qd500_cancel(_handle);
        }

        // ---- card type, power, device ----

        /// <summary>The card type by name: "CPU", "S4442" (or "SLE4442"), "AT24C16", ... in any case.</summary>
        public void SelectCard(string cardType)
        {
            var name = Native.CString(cardType, nameof(cardType), Encoding.ASCII);
            lock (_lock)
                Run(Native.qd500_select_card(Live(), name));
        }

        /// <summary>Powers the card on (a reset when powered); its answer to reset.</summary>
        public byte[] PowerOn()
        {
            var atr = new byte[Native.ATR_MAX];
            UIntPtr len;
            lock (_lock)
                Run(Native.qd500_power_on(Live(), atr, (UIntPtr)atr.Length, out len));
            Array.Resize(ref atr, (int)len);
            return atr;
        }

        public void PowerOff()
        {
            lock (_lock)
                Run(Native.qd500_power_off(Live()));
        }

        /// <summary>The device status: its three state fields, a byte each.</summary>
        public byte[] DeviceStatus()
        {
            var state = new byte[3];
            lock (_lock)
                Run(Native.qd500_device_status(Live(), state));
            return state;
        }

        /// <summary>The firmware's version text.</summary>
        public string Version()
        {
            var text = new byte[Native.VERSION_MAX];
            UIntPtr len;
            lock (_lock)
                Run(Native.qd500_version_text(Live(), text, (UIntPtr)text.Length, out len));
            return Encoding.GetEncoding("iso-8859-1").GetString(text, 0, (int)len);
        }

        public void Eject()
        {
            lock (_lock)
                Run(Native.qd500_eject(Live()));
        }

        /// <summary>The reader's device number, 0 to 99.</summary>
        public void SetDeviceNo(int number)
        {
            lock (_lock)
                Run(Native.qd500_set_device_no(Live(), Unsigned(number, nameof(number), 99)));
        }

        /// <summary>One frame of the reader's own command protocol, its body as
        /// hex text (the checksum is added); the reply's status and data field.</summary>
        public FrameReply SendFrame(string bodyHex)
        {
            var body = Native.CString(bodyHex, nameof(bodyHex), Encoding.ASCII);
            var status = new byte[3];
            var data = new byte[2 * 512 + 1];
            lock (_lock)
            {
                int result = Native.qd500_send_frame(Live(), body, status, data, (UIntPtr)data.Length);
                if (result < 0)
                    Run(result);
            }
            return new FrameReply(Native.Text(status, Encoding.ASCII), Native.Text(data, Encoding.ASCII));
        }

        // ---- CPU cards ----

        /// <summary>One APDU (case 1 to 4, short form); 61xx and 6Cxx come back
        /// as they are. A status word is never an exception.</summary>
        public Response Transmit(byte[] apdu)
        {
            Bytes(apdu, nameof(apdu));
            lock (_lock)
            {
                UIntPtr len;
                Run(Native.qd500_transmit(Live(), apdu, (UIntPtr)apdu.Length, _response, (UIntPtr)_response.Length, out len));
                return Answer(_response, (int)len);
            }
        }

        /// <summary>One APDU, 61xx followed by GET RESPONSE and 6Cxx by the APDU
        /// again under the Le the card asked for, until another status word comes.</summary>
        public Response TransmitGetResponse(byte[] apdu)
        {
            Bytes(apdu, nameof(apdu));
            var chain = new byte[ChainMax];
            lock (_lock)
            {
                UIntPtr len;
                Run(Native.qd500_transmit_get_response(Live(), apdu, (UIntPtr)apdu.Length, chain, (UIntPtr)chain.Length, out len));
                return Answer(chain, (int)len);
            }
        }

        /// <summary>GET RESPONSE for le bytes (0 or 256: 256).</summary>
        public Response GetResponse(int le)
        {
            var n = Unsigned(le, nameof(le), 256);
            lock (_lock)
            {
                UIntPtr len;
                Run(Native.qd500_get_response(Live(), n, _response, (UIntPtr)_response.Length, out len));
                return Answer(_response, (int)len);
            }
        }

        /// <summary>VERIFY of a CPU card's key reference. A wrong PIN throws
        /// WrongCodeException with the tries the card says are left; a blocked
        /// key, CodeLockedException.</summary>
        public void VerifyPin(byte[] pin, int reference = 0)
        {
            Bytes(pin, nameof(pin));
            if (pin.Length < 1 || pin.Length > 255)
                throw new ArgumentException("a PIN is 1 to 255 bytes", nameof(pin));
            var apdu = new byte[5 + pin.Length];
            apdu[3] = (byte)Unsigned(reference, nameof(reference), 255);
            apdu[1] = 0x20;
            apdu[4] = (byte)pin.Length;
            Buffer.BlockCopy(pin, 0, apdu, 5, pin.Length);
            var answer = Transmit(apdu);
            if (answer.SW == 0x9000)
                return;
            if (answer.SW1 == 0x63 && (answer.SW2 & 0xF0) == 0xC0)
                throw new WrongCodeException(WrongCodeException.Code, "", StatusText(WrongCodeException.Code), answer.SW, answer.SW2 & 0x0F);
            if (answer.SW == 0x6983)
                throw new CodeLockedException(CodeLockedException.Code, "", StatusText(CodeLockedException.Code), answer.SW);
            const int refused = 41;
            throw new ReaderException(refused, "", StatusText(refused), answer.SW);
        }

        /// <summary>The reader's own PIN command on a CPU card's key reference; a
        /// wrong PIN throws WrongCodeException without a count of tries.</summary>
        public void CheckPin(byte[] pin, int reference = 0)
        {
            Bytes(pin, nameof(pin));
            var r = Unsigned(reference, nameof(reference), 255);
            lock (_lock)
                Run(Native.qd500_check_pin(Live(), r, pin, (UIntPtr)pin.Length));
        }

        /// <summary>One step of a payment card's file-system set-up; data is its input.</summary>
        public Response Personalise(Personalisation step, byte[] data = null)
        {
            data = data ?? new byte[0];
            if (!Enum.IsDefined(typeof(Personalisation), step))
                throw new ArgumentOutOfRangeException(nameof(step), step, "no such step");
            lock (_lock)
            {
                UIntPtr len;
                Run(Native.qd500_personalise(Live(), (int)step, data, (UIntPtr)data.Length, _response, (UIntPtr)_response.Length, out len));
                return Answer(_response, (int)len);
            }
        }

        // ---- memory cards ----

        /// <summary>length bytes of card memory from addr, any length.</summary>
        public byte[] ReadMemory(int addr, int length)
        {
            var data = Range(addr, length);
            lock (_lock)
                Run(Native.qd500_read_memory(Live(), (uint)addr, data, (UIntPtr)length));
            return data;
        }

        public void WriteMemory(int addr, byte[] data)
        {
            WithRange(addr, data, nameof(data));
            lock (_lock)
                Run(Native.qd500_write_memory(Live(), (uint)addr, data, (UIntPtr)data.Length));
        }

        /// <summary>Presents an SLE44xx card's security code; WrongCodeException when wrong.</summary>
        public void PresentCode(byte[] code)
        {
            Bytes(code, nameof(code));
            lock (_lock)
                Run(Native.qd500_present_code(Live(), code, (UIntPtr)code.Length));
        }

        /// <summary>Changes an SLE44xx card's security code (the old one presented first).</summary>
        public void ChangeCode(byte[] code)
        {
            Bytes(code, nameof(code));
            lock (_lock)
                Run(Native.qd500_change_code(Live(), code, (UIntPtr)code.Length));
        }

        /// <summary>True for each byte from addr that is write-protected.</summary>
        public bool[] ReadProtection(int addr, int length)
        {
            var flags = Range(addr, length);
            lock (_lock)
                Run(Native.qd500_read_protection(Live(), (uint)addr, flags, (UIntPtr)length));
            return Array.ConvertAll(flags, f => f != 0);
        }

        /// <summary>Write-protects bytes from addr: an SLE4442/4432 protects those
        /// its data matches, an SLE4428/4418 writes the data and protects it.</summary>
        public void Protect(int addr, byte[] data)
        {
            WithRange(addr, data, nameof(data));
            lock (_lock)
                Run(Native.qd500_protect(Live(), (uint)addr, data, (UIntPtr)data.Length));
        }

        /// <summary>Presents an AT88SC card's security code at addr.</summary>
        public void At88Verify(int addr, byte[] code)
        {
            var a = Unsigned(addr, nameof(addr), 0xFFFF);
            Bytes(code, nameof(code));
            lock (_lock)
                Run(Native.qd500_at88_verify(Live(), a, code, (UIntPtr)code.Length));
        }

        public void At88Erase(int addr, int length)
        {
            var a = Unsigned(addr, nameof(addr), 0xFFFF);
            var n = Unsigned(length, nameof(length), 255);
            lock (_lock)
                Run(Native.qd500_at88_erase(Live(), a, n));
        }

        public void At88Personalise(int addr)
        {
            var a = Unsigned(addr, nameof(addr), 0xFFFF);
            lock (_lock)
                Run(Native.qd500_at88_personalise(Live(), a));
        }

        /// <summary>An AT24Cxx read in one sequence: power on, read, power off.</summary>
        public byte[] At24Read(int addr, int length, int device = 0)
        {
            var d = Unsigned(device, nameof(device), 255);
            var data = Range(addr, length);
            lock (_lock)
                Run(Native.qd500_at24_read(Live(), d, (uint)addr, data, (UIntPtr)length));
            return data;
        }

        /// <summary>An AT24Cxx write in one sequence: power on, write, power off.</summary>
        public void At24Write(int addr, byte[] data, int device = 0)
        {
            var d = Unsigned(device, nameof(device), 255);
            WithRange(addr, data, nameof(data));
            lock (_lock)
                Run(Native.qd500_at24_write(Live(), d, (uint)addr, data, (UIntPtr)data.Length));
        }

        // ---- magnetic stripe ----

        /// <summary>Waits (up to the time-out) for a swipe and reads the tracks asked for.</summary>
        public Tracks ReadTracks(bool track2 = true, bool track3 = true)
        {
            uint which = (track2 ? Native.TRACK2 : 0) | (track3 ? Native.TRACK3 : 0);
            if (which == 0)
                throw new ArgumentException("read at least one track");
            var two = new byte[Native.TRACK_MAX + 1];
            var three = new byte[Native.TRACK_MAX + 1];
            uint unreadable;
            lock (_lock)
                Run(Native.qd500_read_tracks(Live(), which, two, (UIntPtr)two.Length, three, (UIntPtr)three.Length, out unreadable));
            var latin1 = Encoding.GetEncoding("iso-8859-1");
            return new Tracks(Native.Text(two, latin1), Native.Text(three, latin1),
                (unreadable & Native.TRACK2) != 0, (unreadable & Native.TRACK3) != 0);
        }

        /// <summary>Writes track 2 and/or track 3 (null: left as it is); prefix
        /// sends the head's write-mode prefix first.</summary>
        public void WriteTracks(string track2, string track3, bool prefix = false)
        {
            if (track2 == null && track3 == null)
                throw new ArgumentException("write at least one track");
            var two = track2 == null ? null : Native.CString(track2, nameof(track2), Encoding.ASCII);
            var three = track3 == null ? null : Native.CString(track3, nameof(track3), Encoding.ASCII);
            lock (_lock)
                Run(Native.qd500_write_tracks(Live(), two, three, prefix ? 1 : 0));
        }

        /// <summary>The head's setting letter: one of MagSettingLetters, in any case.</summary>
        public void MagSetting(char letter)
        {
            if (MagSettingLetters.IndexOf(char.ToUpperInvariant(letter)) < 0)
                throw new ArgumentOutOfRangeException(nameof(letter), letter, "the head's settings are " + MagSettingLetters);
            lock (_lock)
                Run(Native.qd500_mag_setting(Live(), (byte)letter));
        }

        // ---- the library ----

        /// <summary>The setting letters the magnetic head knows ("ABCDKRZ").</summary>
        public static string MagSettingLetters => Native.Text(Native.qd500_mag_setting_letters());

        /// <summary>The version of the loaded library ("0.2.0").</summary>
        public static string LibraryVersion => Native.Text(Native.qd500_version());

        /// <summary>The memory size in bytes of a card type (0 for a CPU card).</summary>
        public static int CardSize(string cardType)
        {
            int size = Native.qd500_card_size(Native.CString(cardType, nameof(cardType), Encoding.ASCII));
            if (size < 0)
                throw new ArgumentException("no card type " + cardType, nameof(cardType));
            return size;
        }

        /// <summary>The card type of a name ("SLE4442" gives "S4442").</summary>
        public static CardInfo CardInfo(string cardType) => Qd500.CardInfo.Of(cardType);

        /// <summary>Every card type, in the library's order.</summary>
        public static IReadOnlyList<CardInfo> CardTypes() => Qd500.CardInfo.All();

        // ---- the calls ----

        IntPtr Live()
        {
            var handle = _handle;
            if (handle == IntPtr.Zero)
                throw new ObjectDisposedException(nameof(Reader), "the reader on " + _port + " is disposed");
            return handle;
        }

        /// <summary>Throws a failed call's exception; the caller holds the lock, so
        /// the message and status are still this call's.</summary>
        void Run(int result)
        {
            if (result != 0)
                throw ReaderException.For(result, Native.Text(Native.qd500_status(_handle)), Native.Text(Native.qd500_message(_handle)));
        }

        static Response Answer(byte[] buffer, int len)
        {
            if (len < 2)
                throw new ProtocolException(Native.E_PROTOCOL, "", "a response without its status word");
            var data = new byte[len - 2];
            Buffer.BlockCopy(buffer, 0, data, 0, data.Length);
            return new Response(data, buffer[len - 2] << 8 | buffer[len - 1]);
        }

        static string StatusText(int result) =>
            Native.Text(Native.qd500_status_message(Encoding.ASCII.GetBytes(result.ToString("D2") + "\0")));

        static void Bytes(byte[] value, string name)
        {
            if (value == null)
                throw new ArgumentNullException(name);
        }

        static uint Unsigned(int value, string name, int maximum)
        {
            if (value < 0 || value > maximum)
                throw new ArgumentOutOfRangeException(name, value, name + " must be in 0.." + maximum);
            return (uint)value;
        }

        // The reader's addresses have 16 bits: a range past 0xFFFF is refused here.
        static byte[] Range(int addr, int length)
        {
            CheckRange(addr, length);
            return new byte[length];
        }

        static void WithRange(int addr, byte[] data, string name)
        {
            Bytes(data, name);
            CheckRange(addr, data.Length);
        }

        static void CheckRange(int addr, int length)
        {
            if (addr < 0 || addr > 0xFFFF)
                throw new ArgumentOutOfRangeException(nameof(addr), addr, "an address is 0 to 0xFFFF");
            if (length < 0 || addr + (long)length > AddressEnd)
                throw new ArgumentOutOfRangeException(nameof(length), length, "the range ends past 0xFFFF");
        }
    }
}
