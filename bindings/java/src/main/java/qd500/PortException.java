package qd500;

/** The port is missing, busy or forbidden. */
public class PortException extends ReaderException {
    private static final long serialVersionUID = 1L;

    public PortException(int result, String status, String readerMessage) {
        super(result, status, readerMessage);
    }
}
