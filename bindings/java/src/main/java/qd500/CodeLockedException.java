package qd500;

/** The code's error counter is spent: no tries are left. */
public class CodeLockedException extends WrongCodeException {
    private static final long serialVersionUID = 1L;

    public CodeLockedException(int result, String status, String readerMessage, Integer sw) {
        super(result, status, readerMessage, sw, 0);
    }
}
