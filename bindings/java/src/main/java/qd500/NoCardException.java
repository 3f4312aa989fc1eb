package qd500;

/** No card in the reader. */
public class NoCardException extends ReaderException {
    private static final long serialVersionUID = 1L;

    public NoCardException(int result, String status, String readerMessage) {
        super(result, status, readerMessage);
    }
}
