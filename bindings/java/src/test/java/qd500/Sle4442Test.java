package qd500;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import qd500.testing.Simulator;
import org.junit.jupiter.api.Test;

/** An SLE4442: reading, a write refused before the code, the code, wrong codes, the lock. */
class Sle4442Test {
    static final byte[] PSC = Hex.bytes("FFFFFF");
    static final byte[] WRONG = Hex.bytes("000000");

    @Test
    void codeGatesWritesAndLocksAfterItsTries() throws Exception {
        try (Simulator sim = Simulator.start("{\"card\": {\"type\": \"S4442\"}}");
                Reader reader = new Reader(sim.port())) {
            reader.selectCard("SLE4442"); // the name people use, beside S4442
            byte[] atr = reader.powerOn();
            assertArrayEquals(atr, reader.readMemory(0, 4));
            assertArrayEquals(new boolean[] {true, true, true, true, false, false, false, false},
                    reader.readProtection(0, 8));

            WrongCodeException refused = assertThrows(WrongCodeException.class,
                    () -> reader.writeMemory(0x40, new byte[] {1}));
            assertEquals("31", refused.status());
            reader.presentCode(PSC);
            byte[] data = {0, 1, 0, (byte) 0xFF, 0};
            reader.writeMemory(0x40, data);
            assertArrayEquals(data, reader.readMemory(0x40, data.length));

            // Past the card's 256 bytes: refused before anything is sent.
            int frames = sim.frames().size();
            ArgumentException past = assertThrows(ArgumentException.class, () -> reader.readMemory(0xF0, 0x20));
            assertEquals(-1, past.result());
            assertEquals(frames, sim.frames().size());
            assertThrows(IllegalArgumentException.class, () -> reader.readMemory(0, -1));
            assertThrows(IllegalArgumentException.class, () -> reader.presentCode(null));

            reader.powerOff();
            reader.powerOn();
            int tries = Qd500.cardInfo("SLE4442").codeTries();
            assertEquals(3, tries);
            for (int left = tries - 1; left >= 0; left--) {
                WrongCodeException wrong = assertThrows(WrongCodeException.class, () -> reader.presentCode(WRONG));
                assertSame(WrongCodeException.class, wrong.getClass());
                // The reader does not tell the count; the card keeps it.
                assertTrue(wrong.triesLeft().isEmpty());
                assertTrue(sim.dump().contains("error_counter " + left + "/3"), sim.dump());
            }
            CodeLockedException locked = assertThrows(CodeLockedException.class, () -> reader.presentCode(PSC));
            assertEquals(33, locked.result());
            assertEquals("33", locked.status());
            assertEquals(0, locked.triesLeft().getAsInt());
        }
    }

    @Test
    void aCardTakenOutAndAnotherPutIn() throws Exception {
        try (Simulator sim = Simulator.start("{\"card\": {\"type\": \"S4442\"}}");
                Reader reader = new Reader(sim.port())) {
            reader.selectCard("S4442");
            assertArrayEquals(reader.powerOn(), reader.readMemory(0, 4));
            sim.remove();
            assertThrows(NoCardException.class, reader::powerOn);
            sim.insert("SLE4428");
            reader.selectCard("S4428");
            assertArrayEquals(Hex.bytes("92231091"), reader.powerOn());
        }
    }
}
