package qd500;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import qd500.testing.Simulator;
import org.junit.jupiter.api.Test;

/** Opening a port that is missing or busy, and a reader used after close. */
class OpenAndCloseTest {
    @Test
    void aMissingPortIsAPortErrorWithTheSystemsReason() {
        PortException e = assertThrows(PortException.class, () -> new Reader("/dev/qd500-no-such-tty"));
        assertEquals(-2, e.result());
        assertEquals("", e.status());
        assertTrue(e.readerMessage().contains("/dev/qd500-no-such-tty"), e.readerMessage());
        assertTrue(e.readerMessage().contains("No such file"), e.readerMessage());
        assertTrue(e.getMessage().startsWith("result -2: "), e.getMessage());
    }

    @Test
    void aBusyPortIsRefusedAndAClosedReaderSaysSo() throws Exception {
        try (Simulator sim = Simulator.start(null)) {
            Reader reader = new Reader(sim.port());
            assertThrows(PortException.class, () -> new Reader(sim.port()));
            assertEquals("QD500-SIM V1.0", reader.version());
            reader.close();
            reader.close();
            IllegalStateException e = assertThrows(IllegalStateException.class, reader::version);
            assertEquals("the reader on " + sim.port() + " is closed", e.getMessage());
            assertThrows(IllegalStateException.class, () -> reader.transmit(new byte[] {0, (byte) 0x84, 0, 0, 8}));
            reader.cancel(); // nothing to cancel, and no failure either
            try (Reader again = new Reader(sim.port())) {
                assertEquals("QD500-SIM V1.0", again.version());
            }
        }
    }
}
