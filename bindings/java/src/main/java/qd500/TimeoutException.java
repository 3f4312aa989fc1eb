package qd500;

/** No reply within the reader's time-out. */
public class TimeoutException extends ReaderException {
    private static final long serialVersionUID = 1L;

    public TimeoutException(int result, String status, String readerMessage) {
        super(result, status, readerMessage);
    }
}
