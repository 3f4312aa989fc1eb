package qd500;

import java.util.ArrayList;
import java.util.List;

/** The library itself: its version, result texts and the card-type table. */
public final class Qd500 {
    private Qd500() {}

    /** The version of the loaded library ("0.2.0"). */
    public static String libraryVersion() {
        return NativeLib.text(NativeLib.lib().qd500_version());
    }

    /** English text of a result code. */
    public static String strerror(int result) {
        return NativeLib.text(NativeLib.lib().qd500_strerror(result));
    }

    /** The reader's own text of a two-character status code ("21"), or "" when it has none. */
    public static String statusMessage(String status) {
        return NativeLib.text(NativeLib.lib().qd500_status_message(Check.text(status, "status")));
    }

    /** The card type of a name, in any case, or of the name people use for it
     * ("s4442" and "SLE4442" both give "S4442"); IllegalArgumentException for an unknown name. */
    public static CardInfo cardInfo(String cardType) {
        NativeLib.Api lib = NativeLib.lib();
        NativeLib.CardInfoStruct raw = new NativeLib.CardInfoStruct();
        if (lib.qd500_card_info(Check.text(cardType, "card type"), raw) != 0) {
            throw new IllegalArgumentException(NativeLib.text(lib.qd500_message(null)));
        }
        return CardInfo.of(raw);
    }

    /** Every card type, in the library's order. */
    public static List<CardInfo> cardTypes() {
        NativeLib.Api lib = NativeLib.lib();
        List<CardInfo> found = new ArrayList<>();
        int count = lib.qd500_card_type_count();
        for (int i = 0; i < count; i++) {
            NativeLib.CardInfoStruct raw = new NativeLib.CardInfoStruct();
            if (lib.qd500_card_info_at(i, raw) == 0) {
                found.add(CardInfo.of(raw));
            }
        }
        return found;
    }

    /** The setting letters the magnetic head knows ("ABCDKRZ"). */
    public static String magSettingLetters() {
        return NativeLib.text(NativeLib.lib().qd500_mag_setting_letters());
    }
}
