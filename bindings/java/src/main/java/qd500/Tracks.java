package qd500;

/** The text of tracks 2 and 3 ("" when not read or unreadable). */
public record Tracks(String track2, String track3, boolean unreadable2, boolean unreadable3) {}
