package qd500;

import java.util.OptionalInt;

/**
 * A wrong PIN or security code. {@link #triesLeft()}: the attempts the card
 * has left where it tells (a CPU card's 63Cx); empty where it does not, as
 * SLE44xx cards do not through this reader.
 */
public class WrongCodeException extends ReaderException {
    private static final long serialVersionUID = 1L;
    private final Integer triesLeft;

    public WrongCodeException(int result, String status, String readerMessage, Integer sw, Integer triesLeft) {
        super(result, status, readerMessage, sw);
        this.triesLeft = triesLeft;
    }

    public OptionalInt triesLeft() {
        return triesLeft == null ? OptionalInt.empty() : OptionalInt.of(triesLeft);
    }
}
