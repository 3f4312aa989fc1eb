package qd500;

/**
 * A call the library or the reader refused.
 *
 * <p>{@link #result()}: the reader's two-digit status code as a number (21 no
 * card, 31 wrong code) or one of the library's negative codes.
 * {@link #status()}: the reader's two-character status code ("21"), "" when
 * the reader gave none. {@link #readerMessage()}: the library's text of the
 * failure (as the reader words it). {@link #getMessage()} is English, with
 * the reader's text in parentheses.
 */
public class ReaderException extends RuntimeException {
    private static final long serialVersionUID = 1L;
    private final int result;
    private final String status;
    private final String readerMessage;
    private final Integer sw;

    public ReaderException(int result, String status, String readerMessage) {
        this(result, status, readerMessage, null);
    }

    public ReaderException(int result, String status, String readerMessage, Integer sw) {
        super(english(result, readerMessage, sw));
        this.result = result;
        this.status = status == null ? "" : status;
        this.readerMessage = readerMessage == null ? "" : readerMessage;
        this.sw = sw;
    }

    private static String english(int result, String readerMessage, Integer sw) {
        String text = "result " + result + ": " + Qd500.strerror(result);
        if (sw != null) {
            text += String.format(", card status %04X", sw);
        }
        return readerMessage == null || readerMessage.isEmpty() ? text : text + " (" + readerMessage + ")";
    }

    public int result() {
        return result;
    }

    public String status() {
        return status;
    }

    /** The library's own text of the failure (UTF-8 as the reader words it). */
    public String readerMessage() {
        return readerMessage;
    }

    /** The card's status word when the card, not the reader, refused (a VERIFY answered 63Cx); else null. */
    public Integer sw() {
        return sw;
    }

    static final int WRONG_CODE = 31;
    static final int CODE_LOCKED = 33;
    static final int CARD_REFUSED = 41;

    /** The exception of a failed call's result. */
    static ReaderException of(int result, String status, String message) {
        switch (result) {
            case NativeLib.E_PARAM: return new ArgumentException(result, status, message);
            case NativeLib.E_OPEN: return new PortException(result, status, message);
            case NativeLib.E_TIMEOUT: return new TimeoutException(result, status, message);
            case NativeLib.E_LINE: return new LineException(result, status, message);
            case NativeLib.E_PROTOCOL: return new ProtocolException(result, status, message);
            case NativeLib.E_CANCELLED: return new CancelledException(result, status, message);
            case 21: return new NoCardException(result, status, message);
            case WRONG_CODE: return new WrongCodeException(result, status, message, null, null);
            case CODE_LOCKED: return new CodeLockedException(result, status, message, null);
            default: return new ReaderException(result, status, message);
        }
    }
}
