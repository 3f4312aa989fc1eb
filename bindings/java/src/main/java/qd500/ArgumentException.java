package qd500;

/** The library refused an argument (a range past the card's end, an unknown card type); nothing was sent. */
public class ArgumentException extends ReaderException {
    private static final long serialVersionUID = 1L;

    public ArgumentException(int result, String status, String readerMessage) {
        super(result, status, readerMessage);
    }
}
