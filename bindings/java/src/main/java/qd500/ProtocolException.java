package qd500;

/** The reader's reply was malformed. */
public class ProtocolException extends ReaderException {
    private static final long serialVersionUID = 1L;

    public ProtocolException(int result, String status, String readerMessage) {
        super(result, status, readerMessage);
    }
}
