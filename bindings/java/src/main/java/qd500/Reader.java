package qd500;

import com.sun.jna.Memory;
import com.sun.jna.Native;
import com.sun.jna.Pointer;
import java.lang.ref.Cleaner;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;
import java.util.concurrent.locks.ReentrantLock;

/**
 * One reader on a serial port: "COM3", "3" or a device path.
 *
 * <p>Calls from several threads are serialized: each call and the reading of
 * its result are one step, so every thread gets its own call's message.
 * {@link #cancel()} alone runs beside them. Failures throw
 * {@link ReaderException} (or a subclass); a wrong argument throws
 * IllegalArgumentException before anything is sent; any call on a closed
 * reader throws IllegalStateException.
 */
public final class Reader implements AutoCloseable {
    /** A follow-up chain (61xx, 6Cxx) gathers many responses: room for far more than the library follows. */
    private static final int CHAIN_MAX = 0x10000;

    private final NativeLib.Api lib = NativeLib.lib();
    private final ReentrantLock lock = new ReentrantLock();
    /** Guards the handle against close() while cancel() uses it. */
    private final Object handleLock = new Object();
    private final String port;
    private final Open open = new Open(lib);
    private Cleaner.Cleanable cleanable;
    private final Memory length = new Memory(Native.SIZE_T_SIZE);
    private final Memory response = new Memory(CHAIN_MAX);
    private final NativeLib.SizeT chainMax = NativeLib.size(CHAIN_MAX);
    private final List<FrameObserver> observers = new CopyOnWriteArrayList<>();
    private NativeLib.Observer observerFn; // the C callback, kept alive while installed
    private NativeLib.Idle idleFn;
    private int timeoutMs = 10_000;

    /** Opens the port with the library's default time-out (10 s). */
    public Reader(String port) {
        this(port, (Integer) null);
    }

    /** Opens the port with a response time-out in milliseconds. */
    public Reader(String port, int timeoutMs) {
        this(port, Integer.valueOf(Check.range(timeoutMs, "time-out in ms", 0, Integer.MAX_VALUE)));
    }

    private Reader(String port, Integer timeoutMs) {
        this.port = Check.text(port, "port");
        Pointer[] out = new Pointer[1];
        int result = lib.qd500_open(port, out);
        if (result != 0) {
            throw ReaderException.of(result, "", NativeLib.text(lib.qd500_message(null)));
        }
        open.handle = out[0];
        // A reader dropped unclosed would keep its port locked against every other opener.
        cleanable = CLEANER.register(this, open);
        if (timeoutMs != null) {
            try {
                setTimeoutMs(timeoutMs);
            } catch (RuntimeException e) {
                close();
                throw e;
            }
        }
    }

    // ---- life ----

    /** Closes the port; waits for the call under way, so cancel() it first where it may wait long. */
    @Override
    public void close() {
        lock.lock();
        try {
            synchronized (handleLock) {
                if (open.handle != null) {
                    cleanable.clean();
                    observers.clear();
                    observerFn = null;
                    idleFn = null;
                }
            }
        } finally {
            lock.unlock();
        }
    }

    public boolean isClosed() {
        return open.handle == null;
    }

    /** The port as it was opened. */
    public String port() {
        return port;
    }

    /** The qd500_reader pointer, for a call of qd500.h this binding does not wrap; null once closed. */
    public Pointer handle() {
        return open.handle;
    }

    public int timeoutMs() {
        return timeoutMs;
    }

    /** The response time-out of every call, in milliseconds. */
    public void setTimeoutMs(int ms) {
        Check.range(ms, "time-out in ms", 0, Integer.MAX_VALUE);
        run(h -> lib.qd500_set_timeout_ms(h, ms));
        timeoutMs = ms;
    }

    /** Opens the same port again, after the line failed. */
    public void reopen() {
        run(lib::qd500_reopen);
    }

    /** Traces every frame into the file at path; null stops. */
    public void setTrace(String path) {
        String file = path == null ? null : Check.text(path, "trace path");
        run(h -> lib.qd500_set_trace(h, file));
    }

    /** Calls observer with every frame sent and every reply received, on
     * the calling thread. An exception in an observer is not propagated into the call. */
    public void addObserver(FrameObserver observer) {
        if (observer == null) {
            throw new IllegalArgumentException("observer must not be null");
        }
        lock.lock();
        try {
            Pointer h = live();
            if (observerFn == null) {
                List<FrameObserver> list = observers;
                NativeLib.Observer fn = (ctx, direction, bytes, len) -> {
                    byte[] frame = bytes == null ? new byte[0] : bytes.getByteArray(0, (int) len.longValue());
                    for (FrameObserver each : list) {
                        try {
                            each.frame(direction == 0, frame);
                        } catch (RuntimeException ignored) {
                            // An observer's fault must not unwind through the library.
                        }
                    }
                };
                check(lib.qd500_set_observer(h, fn, null));
                observerFn = fn;
            }
            observers.add(observer);
        } finally {
            lock.unlock();
        }
    }

    public void removeObserver(FrameObserver observer) {
        lock.lock();
        try {
            if (!observers.remove(observer)) {
                throw new IllegalArgumentException("no such observer");
            }
            if (observers.isEmpty() && open.handle != null) {
                check(lib.qd500_set_observer(open.handle, null, null));
                observerFn = null;
            }
        } finally {
            lock.unlock();
        }
    }

    /** Runs idle once per cycle while a call waits for the reader; null clears. */
    public void setIdle(Runnable idle) {
        lock.lock();
        try {
            Pointer h = live();
            NativeLib.Idle fn = idle == null ? null : ctx -> {
                try {
                    idle.run();
                } catch (RuntimeException ignored) {
                    // Not through the library's stack.
                }
            };
            check(lib.qd500_set_idle(h, fn, null));
            idleFn = fn;
        } finally {
            lock.unlock();
        }
    }

    /** From another thread: ends the call that waits (a swipe, a slow reply) with CancelledException. */
    public void cancel() {
        synchronized (handleLock) {
            Pointer h = open.handle;
            if (h != null) {
                lib.qd500_cancel(h);
            }
        }
    }

    // ---- card type, power, device ----

    /** The card type by name: "CPU", "S4442" (or "SLE4442"), "AT24C16", ... in any case. */
    public void selectCard(String cardType) {
        String name = Check.text(cardType, "card type");
        run(h -> lib.qd500_select_card(h, name));
    }

    /** Powers the card on (a reset when powered); its answer to reset. */
    public byte[] powerOn() {
        byte[] atr = new byte[NativeLib.ATR_MAX];
        return filled(atr, h -> lib.qd500_power_on(h, atr, NativeLib.size(atr.length), length));
    }

    public void powerOff() {
        run(lib::qd500_power_off);
    }

    /** The device status: its three state fields, a byte each. */
    public byte[] deviceStatus() {
        byte[] state = new byte[3];
        run(h -> lib.qd500_device_status(h, state));
        return state;
    }

    /** The firmware's version text. */
    public String version() {
        byte[] text = new byte[NativeLib.VERSION_MAX];
        return new String(filled(text, h -> lib.qd500_version_text(h, text, NativeLib.size(text.length), length)),
                StandardCharsets.ISO_8859_1);
    }

    public void eject() {
        run(lib::qd500_eject);
    }

    /** The reader's device number, 0 to 99. */
    public void setDeviceNo(int number) {
        Check.range(number, "device number", 0, 99);
        run(h -> lib.qd500_set_device_no(h, number));
    }

    // ---- CPU cards ----

    /** One APDU (case 1 to 4, short form); 61xx and 6Cxx come back as they are.
     * A status word is never an exception. */
    public Response transmit(byte[] apdu) {
        return transmit(apdu, false);
    }

    /** With getResponse, 61xx is followed by GET RESPONSE and 6Cxx by the
     * APDU again under the Le the card asked for. */
    public Response transmit(byte[] apdu, boolean getResponse) {
        byte[] command = Check.bytes(apdu, "apdu");
        NativeLib.SizeT n = NativeLib.size(command.length);
        return respond(getResponse
                ? h -> lib.qd500_transmit_get_response(h, command, n, response, chainMax, length)
                : h -> lib.qd500_transmit(h, command, n, response, chainMax, length));
    }

    /** GET RESPONSE for le bytes (0 or 256: 256). */
    public Response getResponse(int le) {
        Check.range(le, "le", 0, 256);
        return respond(h -> lib.qd500_get_response(h, le, response, chainMax, length));
    }

    /** VERIFY of a CPU card's key ref. A wrong PIN throws WrongCodeException
     * with the tries the card says are left; a blocked key, CodeLockedException. */
    public void verifyPin(byte[] pin, int ref) {
        Check.bytes(pin, "pin");
        Check.range(pin.length, "pin length", 1, 255);
        Check.range(ref, "ref", 0, 255);
        byte[] apdu = new byte[5 + pin.length];
        apdu[1] = 0x20;
        apdu[3] = (byte) ref;
        apdu[4] = (byte) pin.length;
        System.arraycopy(pin, 0, apdu, 5, pin.length);
        Response answer = transmit(apdu);
        if (answer.sw() == 0x9000) {
            return;
        }
        int code = ReaderException.WRONG_CODE;
        if (answer.sw1() == 0x63 && (answer.sw2() & 0xF0) == 0xC0) {
            throw new WrongCodeException(code, "", statusText(code), answer.sw(), answer.sw2() & 0x0F);
        }
        if (answer.sw() == 0x6983) {
            code = ReaderException.CODE_LOCKED;
            throw new CodeLockedException(code, "", statusText(code), answer.sw());
        }
        code = ReaderException.CARD_REFUSED;
        throw new ReaderException(code, "", statusText(code), answer.sw());
    }

    /** The reader's own PIN command on a CPU card's key ref; a wrong PIN
     * throws WrongCodeException without a count of tries. */
    public void checkPin(byte[] pin, int ref) {
        Check.bytes(pin, "pin");
        Check.range(ref, "ref", 0, 255);
        run(h -> lib.qd500_check_pin(h, ref, pin, NativeLib.size(pin.length)));
    }

    /** One step of a payment card's file-system set-up; data is its input. */
    public Response personalise(Personalisation step, byte[] data) {
        if (step == null) {
            throw new IllegalArgumentException("step must not be null");
        }
        byte[] payload = data == null ? new byte[0] : data;
        return respond(h -> lib.qd500_personalise(h, step.ordinal(), payload, NativeLib.size(payload.length),
                response, chainMax, length));
    }

    // ---- memory cards ----

    /** length bytes of card memory from addr. */
    public byte[] readMemory(int addr, int length) {
        return read(addr, length, (h, a, out) -> lib.qd500_read_memory(h, a, out, NativeLib.size(out.length)));
    }

    public void writeMemory(int addr, byte[] data) {
        write(addr, data, (h, a, in) -> lib.qd500_write_memory(h, a, in, NativeLib.size(in.length)));
    }

    /** Presents an SLE44xx card's security code; WrongCodeException when wrong. */
    public void presentCode(byte[] code) {
        Check.bytes(code, "code");
        run(h -> lib.qd500_present_code(h, code, NativeLib.size(code.length)));
    }

    /** Changes an SLE44xx card's security code (the old one presented first). */
    public void changeCode(byte[] code) {
        Check.bytes(code, "code");
        run(h -> lib.qd500_change_code(h, code, NativeLib.size(code.length)));
    }

    /** True for each byte from addr that is write-protected. */
    public boolean[] readProtection(int addr, int length) {
        byte[] flags = read(addr, length,
                (h, a, out) -> lib.qd500_read_protection(h, a, out, NativeLib.size(out.length)));
        boolean[] result = new boolean[flags.length];
        for (int i = 0; i < flags.length; i++) {
            result[i] = flags[i] != 0;
        }
        return result;
    }

    /** Write-protects bytes from addr: an SLE4442/4432 protects those its
     * data matches, an SLE4428/4418 writes the data and protects it. */
    public void protect(int addr, byte[] data) {
        write(addr, data, (h, a, in) -> lib.qd500_protect(h, a, in, NativeLib.size(in.length)));
    }

    /** Presents an AT88SC card's security code at addr. */
    public void at88Verify(int addr, byte[] code) {
        Check.range(addr, "addr", 0, 0xFFFF);
        write(addr, code, (h, a, in) -> lib.qd500_at88_verify(h, a, in, NativeLib.size(in.length)));
    }

    public void at88Erase(int addr, int length) {
        Check.range(addr, "addr", 0, 0xFFFF);
        Check.range(length, "length", 0, 255);
        run(h -> lib.qd500_at88_erase(h, addr, length));
    }

    public void at88Personalise(int addr) {
        Check.range(addr, "addr", 0, 0xFFFF);
        run(h -> lib.qd500_at88_personalise(h, addr));
    }

    /** An AT24Cxx read in one sequence: power on, read, power off (device 0). */
    public byte[] at24Read(int addr, int length) {
        return at24Read(addr, length, 0);
    }

    public byte[] at24Read(int addr, int length, int device) {
        Check.range(device, "device", 0, 255);
        return read(addr, length, (h, a, out) -> lib.qd500_at24_read(h, device, a, out, NativeLib.size(out.length)));
    }

    /** An AT24Cxx write in one sequence: power on, write, power off (device 0). */
    public void at24Write(int addr, byte[] data) {
        at24Write(addr, data, 0);
    }

    public void at24Write(int addr, byte[] data, int device) {
        Check.range(device, "device", 0, 255);
        write(addr, data, (h, a, in) -> lib.qd500_at24_write(h, device, a, in, NativeLib.size(in.length)));
    }

    // ---- magnetic stripe ----

    /** Waits (up to the time-out) for a swipe and reads tracks 2 and 3. */
    public Tracks readTracks() {
        return readTracks(true, true);
    }

    public Tracks readTracks(boolean track2, boolean track3) {
        int which = (track2 ? NativeLib.TRACK2 : 0) | (track3 ? NativeLib.TRACK3 : 0);
        int size = NativeLib.TRACK_MAX + 1;
        byte[] two = new byte[size];
        byte[] three = new byte[size];
        int[] unreadable = new int[1];
        run(h -> lib.qd500_read_tracks(h, which, two, NativeLib.size(size), three, NativeLib.size(size), unreadable));
        return new Tracks(cString(two), cString(three), (unreadable[0] & NativeLib.TRACK2) != 0,
                (unreadable[0] & NativeLib.TRACK3) != 0);
    }

    /** Writes track 2 and/or track 3 (null: left as it is); prefix sends the head's write-mode prefix first. */
    public void writeTracks(String track2, String track3, boolean prefix) {
        String two = track2 == null ? null : Check.ascii(track2, "track2");
        String three = track3 == null ? null : Check.ascii(track3, "track3");
        run(h -> lib.qd500_write_tracks(h, two, three, prefix ? 1 : 0));
    }

    /** The head's setting letter: one of {@link Qd500#magSettingLetters()}, in any case. */
    public void magSetting(char letter) {
        Check.range(letter, "setting letter", 1, 0x7F);
        run(h -> lib.qd500_mag_setting(h, (byte) letter));
    }

    // ---- the calls ----

    private static final Cleaner CLEANER = Cleaner.create();

    /** The open handle; closes it once, from close() or when the reader was dropped unclosed. */
    private static final class Open implements Runnable {
        private final NativeLib.Api lib;
        volatile Pointer handle;

        Open(NativeLib.Api lib) {
            this.lib = lib;
        }

        @Override
        public void run() {
            Pointer h = handle;
            if (h != null) {
                handle = null;
                lib.qd500_close(h);
            }
        }
    }

    private interface Call {
        int call(Pointer handle);
    }

    private interface Transfer {
        int call(Pointer handle, int addr, byte[] data);
    }

    private Pointer live() {
        Pointer h = open.handle;
        if (h == null) {
            throw new IllegalStateException("the reader on " + port + " is closed");
        }
        return h;
    }

    /** Throws a failed call's exception; the caller holds the lock, so the
     * message and status are still this call's. */
    private void check(int result) {
        if (result != 0) {
            throw ReaderException.of(result, NativeLib.text(lib.qd500_status(open.handle)),
                    NativeLib.text(lib.qd500_message(open.handle)));
        }
    }

    private void run(Call call) {
        lock.lock();
        try {
            check(call.call(live()));
        } finally {
            lock.unlock();
        }
    }

    private byte[] read(int addr, int length, Transfer call) {
        Check.range(addr, "addr", 0, Integer.MAX_VALUE);
        Check.range(length, "length", 0, Integer.MAX_VALUE);
        byte[] out = new byte[length];
        run(h -> call.call(h, addr, out));
        return out;
    }

    private void write(int addr, byte[] data, Transfer call) {
        Check.range(addr, "addr", 0, Integer.MAX_VALUE);
        Check.bytes(data, "data");
        run(h -> call.call(h, addr, data));
    }

    /** A call filling out and saying in length how many bytes it wrote. */
    private byte[] filled(byte[] out, Call call) {
        lock.lock();
        try {
            check(call.call(live()));
            return Arrays.copyOf(out, (int) NativeLib.sizeAt(length));
        } finally {
            lock.unlock();
        }
    }

    /** A call answering data and SW1 SW2 into the reader's response buffer. */
    private Response respond(Call call) {
        lock.lock();
        try {
            check(call.call(live()));
            int n = (int) NativeLib.sizeAt(length);
            if (n < 2) {
                throw new ProtocolException(NativeLib.E_PROTOCOL, "", "a response without its status word");
            }
            byte[] answer = response.getByteArray(0, n);
            return new Response(Arrays.copyOf(answer, n - 2), ((answer[n - 2] & 0xFF) << 8) | (answer[n - 1] & 0xFF));
        } finally {
            lock.unlock();
        }
    }

    private String statusText(int result) {
        return NativeLib.text(lib.qd500_status_message(String.format("%02d", result)));
    }

    private static String cString(byte[] bytes) {
        int end = 0;
        while (end < bytes.length && bytes[end] != 0) {
            end++;
        }
        return new String(bytes, 0, end, StandardCharsets.ISO_8859_1);
    }

    @Override
    public String toString() {
        return "Reader(" + port + (open.handle == null ? ", closed)" : ")");
    }
}
