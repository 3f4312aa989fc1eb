package qd500;

/** The steps of a payment card's file-system set-up, in the library's order. */
public enum Personalisation {
    DELETE_MF, CREATE_MF, END_MF, CREATE_DF, END_DF, CREATE_FILE, SELECT_FILE, WRITE_KEY, WRITE_BINARY, APPEND_RECORD
}
