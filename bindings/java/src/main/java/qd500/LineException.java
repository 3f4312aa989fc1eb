package qd500;

/** The line failed or vanished; every call fails until {@link Reader#reopen()}. */
public class LineException extends ReaderException {
    private static final long serialVersionUID = 1L;

    public LineException(int result, String status, String readerMessage) {
        super(result, status, readerMessage);
    }
}
