package qd500;

import java.util.Arrays;

/** An APDU's response: its data and its status word (SW1 SW2 as one value). */
public final class Response {
    private final byte[] data;
    private final int sw;

    public Response(byte[] data, int sw) {
        this.data = data.clone();
        this.sw = sw;
    }

    public byte[] data() {
        return data.clone();
    }

    public int sw() {
        return sw;
    }

    public int sw1() {
        return sw >> 8;
    }

    public int sw2() {
        return sw & 0xFF;
    }

    @Override
    public boolean equals(Object other) {
        return other instanceof Response && ((Response) other).sw == sw && Arrays.equals(((Response) other).data, data);
    }

    @Override
    public int hashCode() {
        return 31 * Arrays.hashCode(data) + sw;
    }

    @Override
    public String toString() {
        return String.format("Response(data=%s, sw=%04X)", Hex.of(data), sw);
    }
}
