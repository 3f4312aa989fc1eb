package qd500;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import qd500.testing.Simulator;
import org.junit.jupiter.api.Test;

/** The magnetic head: a read that waits for the swipe the test gives, tracks written and read back. */
class MagneticTest {
    @Test
    void readWaitsForTheSwipe() throws Exception {
        try (Simulator sim = Simulator.start("{\"magnetic\": {\"swipe\": \"never\"}}");
                Reader reader = new Reader(sim.port())) {
            CompletableFuture<Tracks> read = CompletableFuture.supplyAsync(reader::readTracks);
            Thread.sleep(200);
            sim.swipe("4000123412341234=2512", null);
            assertEquals(new Tracks("4000123412341234=2512", "", false, true), read.get(10, TimeUnit.SECONDS));
        }
    }

    @Test
    void writtenTracksAreReadBack() throws Exception {
        try (Simulator sim = Simulator.start(null); Reader reader = new Reader(sim.port())) {
            reader.magSetting('b');
            assertEquals("ABCDKRZ", Qd500.magSettingLetters());
            reader.writeTracks("1234567890=99", null, false);
            reader.writeTracks(null, "000111222", true);
            assertEquals(new Tracks("1234567890=99", "000111222", false, false), reader.readTracks());
        }
    }
}
