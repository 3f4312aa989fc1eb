import qd500.Reader;
import qd500.Tracks;

/** Waits up to 30 s for a magnetic swipe and prints tracks 2 and 3. Args: PORT. */
public class Swipe {
    public static void main(String[] args) {
        try (Reader reader = new Reader(args[0], 30_000)) {
            Tracks tracks = reader.readTracks();
            System.out.println("track 2: " + (tracks.unreadable2() ? "(unreadable)" : tracks.track2()));
            System.out.println("track 3: " + (tracks.unreadable3() ? "(unreadable)" : tracks.track3()));
        }
    }
}
