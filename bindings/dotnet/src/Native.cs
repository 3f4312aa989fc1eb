using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Qd500
{
    /// <summary>The imports of qd500.h. Every function is __cdecl: the attribute
    /// is spelled out on each import, since P/Invoke's default on 32-bit
    /// Windows is stdcall. The name "qd500" is qd500.dll on Windows and, through
    /// Qd500.dll.config, libqd500.so.0 on Mono.</summary>
    internal static class Native
    {
        internal const string Library = "qd500";

        internal const int E_PARAM = -1;
        internal const int E_OPEN = -2;
        internal const int E_TIMEOUT = -3;
        internal const int E_LINE = -4;
        internal const int E_PROTOCOL = -5;
        internal const int E_BUFFER = -6;
        internal const int E_CANCELLED = -7;

        internal const int ATR_MAX = 33;
        internal const int RESPONSE_MAX = 258;
        internal const int TRACK_MAX = 1024;
        internal const int VERSION_MAX = 128;
        internal const int PIN_MAX = 13;
        internal const uint TRACK2 = 1;
        internal const uint TRACK3 = 2;

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate void ObserverFn(IntPtr ctx, int direction, IntPtr bytes, UIntPtr len);

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        internal delegate void IdleFn(IntPtr ctx);

        [StructLayout(LayoutKind.Sequential)]
        internal struct CardInfo
        {
            public UIntPtr size;
            public IntPtr name;
            public uint code;
            public int family;
            public uint memory_size;
            public uint code_length;
            public uint code_tries;
            public uint protected_bytes;
            public uint features;
            public IntPtr alias;
        }

        // ---- the library ----
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr qd500_version();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr qd500_strerror(int result);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr qd500_status_message(byte[] status);

        // ---- opening ----
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_open(byte[] port, out IntPtr reader);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void qd500_close(IntPtr r);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_reopen(IntPtr r);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr qd500_port(IntPtr r);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr qd500_message(IntPtr r);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr qd500_status(IntPtr r);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_set_timeout(IntPtr r, uint seconds);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_set_timeout_ms(IntPtr r, uint ms);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_set_trace(IntPtr r, byte[] path);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_set_observer(IntPtr r, ObserverFn fn, IntPtr ctx);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_set_idle(IntPtr r, IdleFn fn, IntPtr ctx);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_cancel(IntPtr r);

        // ---- card type, power, device ----
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_select_card(IntPtr r, byte[] type);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_card_type_code(byte[] type);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr qd500_card_type_name(int code);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_card_size(byte[] type);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_card_info(byte[] type, ref CardInfo info);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_card_type_count();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_card_info_at(uint index, ref CardInfo info);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_power_on(IntPtr r, byte[] atr, UIntPtr cap, out UIntPtr len);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_power_off(IntPtr r);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_device_status(IntPtr r, byte[] state);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_eject(IntPtr r);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_set_device_no(IntPtr r, uint number);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_version_text(IntPtr r, byte[] text, UIntPtr cap, out UIntPtr len);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_send_frame(IntPtr r, byte[] body, byte[] status, byte[] dataHex, UIntPtr cap);

        // ---- CPU cards ----
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_transmit(IntPtr r, byte[] apdu, UIntPtr len, byte[] resp, UIntPtr cap, out UIntPtr respLen);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_transmit_get_response(IntPtr r, byte[] apdu, UIntPtr len, byte[] resp, UIntPtr cap, out UIntPtr respLen);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_get_response(IntPtr r, uint le, byte[] resp, UIntPtr cap, out UIntPtr respLen);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_check_pin(IntPtr r, uint reference, byte[] pin, UIntPtr len);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_personalise(IntPtr r, int step, byte[] data, UIntPtr len, byte[] resp, UIntPtr cap, out UIntPtr respLen);

        // ---- memory cards ----
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_read_memory(IntPtr r, uint addr, byte[] data, UIntPtr len);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_write_memory(IntPtr r, uint addr, byte[] data, UIntPtr len);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_present_code(IntPtr r, byte[] code, UIntPtr len);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_change_code(IntPtr r, byte[] code, UIntPtr len);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_read_protection(IntPtr r, uint addr, byte[] flags, UIntPtr len);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_protect(IntPtr r, uint addr, byte[] data, UIntPtr len);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_at88_verify(IntPtr r, uint addr, byte[] code, UIntPtr len);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_at88_erase(IntPtr r, uint addr, uint len);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_at88_personalise(IntPtr r, uint addr);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_at24_read(IntPtr r, uint device, uint addr, byte[] data, UIntPtr len);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_at24_write(IntPtr r, uint device, uint addr, byte[] data, UIntPtr len);

        // ---- magnetic stripe ----
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_read_tracks(IntPtr r, uint tracks, byte[] track2, UIntPtr cap2, byte[] track3, UIntPtr cap3, out uint unreadable);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_write_tracks(IntPtr r, byte[] track2, byte[] track3, int prefix);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_mag_setting(IntPtr r, byte letter);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr qd500_mag_setting_letters();

        // ---- DES ----
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_des_encrypt(byte[] key, byte[] input, byte[] output);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_des_decrypt(byte[] key, byte[] input, byte[] output);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_3des_encrypt(byte[] key, byte[] input, byte[] output);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_3des_decrypt(byte[] key, byte[] input, byte[] output);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_diversify(byte[] key, byte[] data, byte[] output);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_pin_block(byte[] pin, byte[] pan, byte[] key, UIntPtr keyLen, byte[] output);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int qd500_pin_from_block(byte[] block, byte[] pan, byte[] key, UIntPtr keyLen, byte[] pin, UIntPtr cap);

        // ---- text ----

        /// <summary>A NUL-terminated UTF-8 text of the library; "" for null.</summary>
        internal static string Text(IntPtr p)
        {
            if (p == IntPtr.Zero)
                return "";
            int n = 0;
            while (Marshal.ReadByte(p, n) != 0)
                n++;
            var bytes = new byte[n];
            Marshal.Copy(p, bytes, 0, n);
            return Encoding.UTF8.GetString(bytes);
        }

        /// <summary>The text of a buffer the library filled, up to its NUL.</summary>
        internal static string Text(byte[] buffer, Encoding encoding)
        {
            int n = Array.IndexOf(buffer, (byte)0);
            return encoding.GetString(buffer, 0, n < 0 ? buffer.Length : n);
        }

        /// <summary>A text argument as the C string it is sent as; a NUL
        /// inside would cut it short, so it is refused.</summary>
        internal static byte[] CString(string value, string name, Encoding encoding = null)
        {
            if (value == null)
                throw new ArgumentNullException(name);
            if (value.IndexOf('\0') >= 0)
                throw new ArgumentException(name + " must not contain a NUL character", name);
            var bytes = (encoding ?? Encoding.UTF8).GetBytes(value);
            Array.Resize(ref bytes, bytes.Length + 1);
            return bytes;
        }
    }
}
