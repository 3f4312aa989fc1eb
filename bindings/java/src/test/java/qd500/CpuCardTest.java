package qd500;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import qd500.testing.Simulator;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** A CPU card: its ATR, APDUs with and without GET RESPONSE, PINs, the observer. */
class CpuCardTest {
    static final byte[] SELECT_MF = Hex.bytes("00A40000023F00");
    static final byte[] SELECT_0015 = Hex.bytes("00A40000020015");
    static final byte[] READ_64 = Hex.bytes("00B0000040");
    static final byte[] KEY_01 = Hex.bytes("123456");

    Simulator sim;
    Reader reader;

    @BeforeEach
    void start() throws Exception {
        sim = Simulator.start(null);
        reader = new Reader(sim.port());
        reader.selectCard("CPU");
        assertArrayEquals(Hex.bytes("3B680000514435303053494D"), reader.powerOn());
    }

    @AfterEach
    void stop() {
        try {
            if (reader != null) {
                reader.close();
            }
        } finally {
            if (sim != null) {
                sim.close();
            }
        }
    }

    @Test
    void transmitFollows61xxAnd6CxxOnlyWhenAsked() {
        Response plain = reader.transmit(SELECT_MF);
        assertEquals(0, plain.data().length);
        assertEquals(0x61, plain.sw1());
        Response fci = reader.getResponse(plain.sw2());
        assertEquals(0x9000, fci.sw());
        assertTrue(new String(fci.data(), StandardCharsets.ISO_8859_1).contains("1PAY.SYS.DDF01"));
        assertEquals(fci, reader.transmit(SELECT_MF, true));

        reader.transmit(SELECT_0015, true);
        assertEquals(new Response(new byte[0], 0x6C20), reader.transmit(READ_64));
        Response exact = reader.transmit(READ_64, true);
        assertEquals(0x9000, exact.sw());
        assertArrayEquals(Arrays.copyOf("QD500 SIM CARD 0001".getBytes(StandardCharsets.US_ASCII), 32), exact.data());
    }

    @Test
    void verifyPinTellsTheTriesLeftAndTheBlock() {
        reader.transmit(SELECT_MF, true);
        WrongCodeException wrong = assertThrows(WrongCodeException.class, () -> reader.verifyPin(new byte[3], 1));
        assertEquals(2, wrong.triesLeft().getAsInt());
        assertEquals(0x63C2, wrong.sw());
        assertEquals(31, wrong.result());
        assertTrue(wrong.getMessage().contains("63C2"), wrong.getMessage());
        reader.verifyPin(KEY_01, 1);
        // The reader's own PIN command says no more than "wrong".
        wrong = assertThrows(WrongCodeException.class, () -> reader.checkPin(new byte[3], 1));
        assertTrue(wrong.triesLeft().isEmpty());
        assertEquals("31", wrong.status());
        reader.checkPin(KEY_01, 1);
        for (int left = 2; left >= 0; left--) {
            wrong = assertThrows(WrongCodeException.class, () -> reader.verifyPin(new byte[3], 1));
            assertEquals(left, wrong.triesLeft().getAsInt());
        }
        CodeLockedException locked = assertThrows(CodeLockedException.class, () -> reader.verifyPin(KEY_01, 1));
        assertEquals(0x6983, locked.sw());
        assertEquals(0, locked.triesLeft().getAsInt());
    }

    @Test
    void personaliseStepAndPowerOff() {
        Response answer = reader.personalise(Personalisation.SELECT_FILE, Hex.bytes("3F00"));
        assertEquals(0x9000, answer.sw());
        reader.powerOff();
        ReaderException e = assertThrows(ReaderException.class, () -> reader.transmit(SELECT_MF));
        assertEquals(23, e.result());
        assertEquals("23", e.status());
    }

    @Test
    void observerSeesEachExchangeUntilRemoved() {
        List<String> seen = new ArrayList<>();
        FrameObserver observer = (sent, frame) ->
                seen.add((sent ? "> " : "< ") + new String(frame, StandardCharsets.ISO_8859_1));
        reader.addObserver(observer);
        reader.transmit(SELECT_MF);
        assertEquals(2, seen.size());
        assertTrue(seen.get(0).startsWith("> ") && seen.get(0).contains("00A40000023F00"), seen.get(0));
        assertTrue(seen.get(1).startsWith("< "));
        reader.removeObserver(observer);
        reader.transmit(SELECT_MF);
        assertEquals(2, seen.size());
    }
}
