package qd500;

/** Argument checks made before anything reaches the library. */
final class Check {
    private Check() {}

    static byte[] bytes(byte[] value, String what) {
        if (value == null) {
            throw new IllegalArgumentException(what + " must not be null");
        }
        return value;
    }

    static byte[] sized(byte[] value, String what, int... sizes) {
        bytes(value, what);
        for (int size : sizes) {
            if (value.length == size) {
                return value;
            }
        }
        StringBuilder allowed = new StringBuilder();
        for (int size : sizes) {
            allowed.append(allowed.length() == 0 ? "" : " or ").append(size);
        }
        throw new IllegalArgumentException(what + " must be " + allowed + " bytes, not " + value.length);
    }

    /** A text argument as the C string it is sent as: no NUL, which would cut it short. */
    static String text(String value, String what) {
        if (value == null) {
            throw new IllegalArgumentException(what + " must not be null");
        }
        if (value.indexOf('\0') >= 0) {
            throw new IllegalArgumentException(what + " must not contain a NUL character");
        }
        return value;
    }

    static String ascii(String value, String what) {
        text(value, what);
        for (int i = 0; i < value.length(); i++) {
            if (value.charAt(i) > 0x7F) {
                throw new IllegalArgumentException(what + " must be ASCII text: " + value);
            }
        }
        return value;
    }

    static int range(long value, String what, long min, long max) {
        if (value < min || value > max) {
            throw new IllegalArgumentException(what + " must be in " + min + ".." + max + ", not " + value);
        }
        return (int) value;
    }
}
