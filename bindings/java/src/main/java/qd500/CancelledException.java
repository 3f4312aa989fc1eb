package qd500;

/** {@link Reader#cancel()} ended the call. */
public class CancelledException extends ReaderException {
    private static final long serialVersionUID = 1L;

    public CancelledException(int result, String status, String readerMessage) {
        super(result, status, readerMessage);
    }
}
