package qd500;

import com.sun.jna.Callback;
import com.sun.jna.IntegerType;
import com.sun.jna.Library;
import com.sun.jna.Native;
import com.sun.jna.Platform;
import com.sun.jna.Pointer;
import com.sun.jna.Structure;
import java.io.File;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;

/** qd500.h as JNA sees it, loaded once. Package-private: Reader is the API. */
final class NativeLib {
    static final int E_PARAM = -1;
    static final int E_OPEN = -2;
    static final int E_TIMEOUT = -3;
    static final int E_LINE = -4;
    static final int E_PROTOCOL = -5;
    static final int E_BUFFER = -6;
    static final int E_CANCELLED = -7;

    static final int ATR_MAX = 33;
    static final int RESPONSE_MAX = 258;
    static final int TRACK_MAX = 1024;
    static final int VERSION_MAX = 128;
    static final int TRACK2 = 1;
    static final int TRACK3 = 2;

    private NativeLib() {}

    /** size_t, as wide as the platform has it. */
    public static final class SizeT extends IntegerType {
        private static final long serialVersionUID = 1L;

        public SizeT() {
            this(0);
        }

        public SizeT(long value) {
            super(Native.SIZE_T_SIZE, value, true);
        }
    }

    /** struct qd500_card_info; size is set before every call. */
    @Structure.FieldOrder({"size", "name", "code", "family", "memory_size", "code_length", "code_tries",
            "protected_bytes", "features", "alias"})
    public static final class CardInfoStruct extends Structure {
        public SizeT size;
        public Pointer name;
        public int code;
        public int family;
        public int memory_size;
        public int code_length;
        public int code_tries;
        public int protected_bytes;
        public int features;
        public Pointer alias;

        public CardInfoStruct() {
            size = new SizeT(size());
        }
    }

    /** qd500_observer: context, direction, bytes, length. */
    public interface Observer extends Callback {
        void invoke(Pointer ctx, int direction, Pointer bytes, SizeT len);
    }

    /** qd500_idle: context. */
    public interface Idle extends Callback {
        void invoke(Pointer ctx);
    }

    /** Every function of qd500.h (all __cdecl, JNA's default). */
    public interface Api extends Library {
        Pointer qd500_version();
        Pointer qd500_strerror(int result);
        Pointer qd500_status_message(String status);

        int qd500_open(String port, Pointer[] out);
        void qd500_close(Pointer r);
        int qd500_reopen(Pointer r);
        Pointer qd500_port(Pointer r);
        Pointer qd500_message(Pointer r);
        Pointer qd500_status(Pointer r);
        int qd500_set_timeout_ms(Pointer r, int ms);
        int qd500_set_trace(Pointer r, String path);
        int qd500_set_observer(Pointer r, Observer fn, Pointer ctx);
        int qd500_set_idle(Pointer r, Idle fn, Pointer ctx);
        int qd500_cancel(Pointer r);

        int qd500_select_card(Pointer r, String type);
        int qd500_card_size(String type);
        int qd500_card_info(String type, CardInfoStruct info);
        int qd500_card_type_count();
        int qd500_card_info_at(int index, CardInfoStruct info);

        int qd500_power_on(Pointer r, byte[] atr, SizeT cap, Pointer len);
        int qd500_power_off(Pointer r);
        int qd500_device_status(Pointer r, byte[] state);
        int qd500_eject(Pointer r);
        int qd500_set_device_no(Pointer r, int number);
        int qd500_version_text(Pointer r, byte[] text, SizeT cap, Pointer len);
        int qd500_send_frame(Pointer r, String body, byte[] status, byte[] dataHex, SizeT cap);

        int qd500_transmit(Pointer r, byte[] apdu, SizeT len, Pointer resp, SizeT cap, Pointer respLen);
        int qd500_transmit_get_response(Pointer r, byte[] apdu, SizeT len, Pointer resp, SizeT cap, Pointer respLen);
        int qd500_get_response(Pointer r, int le, Pointer resp, SizeT cap, Pointer respLen);
        int qd500_check_pin(Pointer r, int ref, byte[] pin, SizeT len);
        int qd500_personalise(Pointer r, int step, byte[] data, SizeT len, Pointer resp, SizeT cap, Pointer respLen);

        int qd500_read_memory(Pointer r, int addr, byte[] data, SizeT len);
        int qd500_write_memory(Pointer r, int addr, byte[] data, SizeT len);
        int qd500_present_code(Pointer r, byte[] code, SizeT len);
        int qd500_change_code(Pointer r, byte[] code, SizeT len);
        int qd500_read_protection(Pointer r, int addr, byte[] flags, SizeT len);
        int qd500_protect(Pointer r, int addr, byte[] data, SizeT len);
        int qd500_at88_verify(Pointer r, int addr, byte[] code, SizeT len);
        int qd500_at88_erase(Pointer r, int addr, int len);
        int qd500_at88_personalise(Pointer r, int addr);
        int qd500_at24_read(Pointer r, int device, int addr, byte[] data, SizeT len);
        int qd500_at24_write(Pointer r, int device, int addr, byte[] data, SizeT len);

        int qd500_read_tracks(Pointer r, int tracks, byte[] track2, SizeT cap2, byte[] track3, SizeT cap3,
                int[] unreadable);
        int qd500_write_tracks(Pointer r, String track2, String track3, int prefix);
        int qd500_mag_setting(Pointer r, byte letter);
        Pointer qd500_mag_setting_letters();

        int qd500_des_encrypt(byte[] key, byte[] in, byte[] out);
        int qd500_des_decrypt(byte[] key, byte[] in, byte[] out);
        int qd500_3des_encrypt(byte[] key, byte[] in, byte[] out);
        int qd500_3des_decrypt(byte[] key, byte[] in, byte[] out);
        int qd500_diversify(byte[] key, byte[] data, byte[] out);
        int qd500_pin_block(String pin, String pan, byte[] key, SizeT keyLen, byte[] out);
        int qd500_pin_from_block(byte[] block, String pan, byte[] key, SizeT keyLen, byte[] pin, SizeT cap);
    }

    private static final String SONAME = "libqd500.so.0";
    private static volatile Api loaded;

    /** The library, loaded on first use: the path in the system property
     * qd500.library or the environment's QD500_LIBRARY when set, else
     * "qd500" as JNA finds it (jna.library.path, then the system's paths,
     * libqd500.so.0 included). */
    static Api lib() {
        Api api = loaded;
        if (api == null) {
            synchronized (NativeLib.class) {
                api = loaded;
                if (api == null) {
                    api = load();
                    loaded = api;
                }
            }
        }
        return api;
    }

    private static Api load() {
        String named = System.getProperty("qd500.library");
        if (named == null || named.isEmpty()) {
            named = System.getenv("QD500_LIBRARY");
        }
        String name = named != null && !named.isEmpty() ? named : "qd500";
        try {
            return Native.load(name, Api.class);
        } catch (UnsatisfiedLinkError error) {
            if (name.equals("qd500") && Platform.isLinux()) {
                // Without the development link only the SONAME is there; the
                // dynamic loader finds it by that name (LD_LIBRARY_PATH too).
                try {
                    return Native.load(SONAME, Api.class);
                } catch (UnsatisfiedLinkError also) {
                    error.addSuppressed(also);
                }
            }
            List<String> places = new ArrayList<>();
            if (name.equals("qd500")) {
                String jnaPath = System.getProperty("jna.library.path");
                places.add("jna.library.path=" + (jnaPath == null ? "(unset)" : jnaPath));
                places.add("java.library.path=" + System.getProperty("java.library.path"));
                places.add("the system's library paths (" + (Platform.isWindows() ? "PATH" : "ld.so.cache, LD_LIBRARY_PATH")
                        + ")" + (Platform.isLinux() ? ", then " + SONAME + " by the dynamic loader" : ""));
            } else {
                places.add(new File(name).getAbsolutePath() + " (from qd500.library or QD500_LIBRARY)");
            }
            String file = Platform.isWindows() ? "qd500.dll" : Platform.isMac() ? "libqd500.dylib" : "libqd500.so.0";
            UnsatisfiedLinkError clear = new UnsatisfiedLinkError("the qd500 library (" + file
                    + ") was not found; tried " + String.join("; ", places)
                    + ". Install it, or set jna.library.path to its folder or QD500_LIBRARY to its path. "
                    + error.getMessage());
            clear.initCause(error);
            throw clear;
        }
    }

    /** A C string of the library as text (UTF-8); "" for null. */
    static String text(Pointer p) {
        return p == null ? "" : p.getString(0, StandardCharsets.UTF_8.name());
    }

    /** A size_t the library writes, read back. */
    static long sizeAt(Pointer p) {
        return Native.SIZE_T_SIZE == 8 ? p.getLong(0) : p.getInt(0) & 0xFFFFFFFFL;
    }

    static SizeT size(long n) {
        return new SizeT(n);
    }
}
