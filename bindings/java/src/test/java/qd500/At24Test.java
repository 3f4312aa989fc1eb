package qd500;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;

import qd500.testing.Simulator;
import org.junit.jupiter.api.Test;

/** An AT24C16: its whole 2 KiB written and read back, zero bytes included. */
class At24Test {
    @Test
    void wholeCardRoundTrip() throws Exception {
        int size = Qd500.cardInfo("AT24C16").memorySize();
        assertEquals(2048, size);
        byte[] image = new byte[size];
        for (int i = 0; i < size; i++) {
            image[i] = (byte) (i % 7 == 0 ? 0 : i);
        }
        try (Simulator sim = Simulator.start("{\"card\": {\"type\": \"AT24C16\"}}");
                Reader reader = new Reader(sim.port())) {
            reader.at24Write(0, image);
            assertArrayEquals(image, reader.at24Read(0, size));
            assertEquals(0, reader.at24Read(0, 0).length);
        }
    }
}
