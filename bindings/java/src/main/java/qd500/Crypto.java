package qd500;

/** DES, two-key triple-DES, key diversity and PIN blocks on bytes (no reader). */
public final class Crypto {
    private Crypto() {}

    private static void check(int result) {
        if (result != 0) {
            throw ReaderException.of(result, "", "");
        }
    }

    /** One 8-byte block under an 8-byte DES key. */
    public static byte[] desEncrypt(byte[] key, byte[] block) {
        byte[] out = new byte[8];
        check(NativeLib.lib().qd500_des_encrypt(Check.sized(key, "key", 8), Check.sized(block, "block", 8), out));
        return out;
    }

    public static byte[] desDecrypt(byte[] key, byte[] block) {
        byte[] out = new byte[8];
        check(NativeLib.lib().qd500_des_decrypt(Check.sized(key, "key", 8), Check.sized(block, "block", 8), out));
        return out;
    }

    /** One 8-byte block under a 16-byte two-key triple-DES key (K1 K2 K1). */
    public static byte[] tripleDesEncrypt(byte[] key, byte[] block) {
        byte[] out = new byte[8];
        check(NativeLib.lib().qd500_3des_encrypt(Check.sized(key, "key", 16), Check.sized(block, "block", 8), out));
        return out;
    }

    public static byte[] tripleDesDecrypt(byte[] key, byte[] block) {
        byte[] out = new byte[8];
        check(NativeLib.lib().qd500_3des_decrypt(Check.sized(key, "key", 16), Check.sized(block, "block", 8), out));
        return out;
    }

    /** The 16-byte key diversified from a 16-byte master key by 8 bytes of data. */
    public static byte[] diversify(byte[] key, byte[] data) {
        byte[] out = new byte[16];
        check(NativeLib.lib().qd500_diversify(Check.sized(key, "key", 16), Check.sized(data, "data", 8), out));
        return out;
    }

    /** The ISO 9564-1 format-0 PIN block of pin (4 to 12 digits) and the
     * account number pan, encrypted under an 8-byte DES or 16-byte triple-DES key. */
    public static byte[] pinBlock(String pin, String pan, byte[] key) {
        Check.sized(key, "key", 8, 16);
        byte[] out = new byte[8];
        check(NativeLib.lib().qd500_pin_block(Check.ascii(pin, "pin"), Check.ascii(pan, "pan"), key,
                NativeLib.size(key.length), out));
        return out;
    }

    /** The PIN digits of a format-0 block of the account number pan. */
    public static String pinFromBlock(byte[] block, String pan, byte[] key) {
        Check.sized(key, "key", 8, 16);
        byte[] pin = new byte[13];
        check(NativeLib.lib().qd500_pin_from_block(Check.sized(block, "block", 8), Check.ascii(pan, "pan"), key,
                NativeLib.size(key.length), pin, NativeLib.size(pin.length)));
        int end = 0;
        while (end < pin.length && pin[end] != 0) {
            end++;
        }
        return new String(pin, 0, end, java.nio.charset.StandardCharsets.US_ASCII);
    }
}
