package qd500;

/** Hex text of bytes and back, for messages and examples. */
public final class Hex {
    private Hex() {}

    public static String of(byte[] bytes) {
        StringBuilder text = new StringBuilder(bytes.length * 2);
        for (byte b : bytes) {
            text.append(String.format("%02X", b & 0xFF));
        }
        return text.toString();
    }

    /** The bytes of hex text ("00A4 0000"; blanks are skipped). */
    public static byte[] bytes(String hex) {
        String digits = hex.replaceAll("\\s", "");
        if (digits.length() % 2 != 0) {
            throw new IllegalArgumentException("an odd count of hex digits: " + hex);
        }
        byte[] out = new byte[digits.length() / 2];
        for (int i = 0; i < out.length; i++) {
            out[i] = (byte) Integer.parseInt(digits.substring(2 * i, 2 * i + 2), 16);
        }
        return out;
    }
}
