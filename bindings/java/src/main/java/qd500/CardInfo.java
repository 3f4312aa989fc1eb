package qd500;

/**
 * A card type as the library's table describes it. family is one of the
 * FAMILY_* values, features a set of FEATURE_* bits; alias is the name
 * people use beside it ("SLE4442"), also taken, or "".
 */
public record CardInfo(String name, int code, int family, int memorySize, int codeLength, int codeTries,
        int protectedBytes, int features, String alias) {
    public static final int FAMILY_CPU = 0;
    public static final int FAMILY_SLE4442 = 1;
    public static final int FAMILY_SLE4428 = 2;
    public static final int FAMILY_AT24 = 3;
    public static final int FAMILY_AT88SC = 4;

    public static final int FEATURE_MEMORY = 0x001;
    public static final int FEATURE_PRESENT_CODE = 0x002;
    public static final int FEATURE_CHANGE_CODE = 0x004;
    public static final int FEATURE_READ_PROTECTION = 0x008;
    public static final int FEATURE_PROTECT = 0x010;
    public static final int FEATURE_AT88_VERIFY = 0x020;
    public static final int FEATURE_AT88_ERASE = 0x040;
    public static final int FEATURE_AT88_PERSONALISE = 0x080;
    public static final int FEATURE_AT24_SEQUENCE = 0x100;
    public static final int FEATURE_APDU = 0x200;

    public boolean has(int feature) {
        return (features & feature) == feature;
    }

    static CardInfo of(NativeLib.CardInfoStruct raw) {
        return new CardInfo(NativeLib.text(raw.name), raw.code, raw.family, raw.memory_size, raw.code_length,
                raw.code_tries, raw.protected_bytes, raw.features, NativeLib.text(raw.alias));
    }
}
