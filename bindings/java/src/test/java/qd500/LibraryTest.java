package qd500;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.List;
import org.junit.jupiter.api.Test;

/** What needs no reader: the card-type table and the DES helpers. */
class LibraryTest {
    @Test
    void cardTypeTableWithAliases() {
        CardInfo sle = Qd500.cardInfo("sle4442");
        assertEquals(new CardInfo("S4442", 0x42, CardInfo.FAMILY_SLE4442, 256, 3, 3, 32,
                sle.features(), "SLE4442"), sle);
        assertTrue(sle.has(CardInfo.FEATURE_PRESENT_CODE | CardInfo.FEATURE_MEMORY));
        assertEquals(sle, Qd500.cardInfo("S4442"));
        List<CardInfo> all = Qd500.cardTypes();
        assertTrue(all.contains(sle));
        CardInfo cpu = all.stream().filter(c -> c.name().equals("CPU")).findFirst().orElseThrow();
        assertEquals(0, cpu.memorySize());
        assertTrue(cpu.has(CardInfo.FEATURE_APDU));
        IllegalArgumentException e = assertThrows(IllegalArgumentException.class, () -> Qd500.cardInfo("NOSUCH"));
        assertTrue(e.getMessage().contains("NOSUCH"), e.getMessage());
    }

    @Test
    void desHelpersOnKnownVectors() {
        byte[] key = Hex.bytes("133457799BBCDFF1");
        byte[] plain = Hex.bytes("0123456789ABCDEF");
        byte[] cipher = Crypto.desEncrypt(key, plain);
        assertEquals("85E813540F0AB405", Hex.of(cipher));
        assertArrayEquals(plain, Crypto.desDecrypt(key, cipher));
        // K1 = K2: two-key triple-DES is single DES.
        byte[] doubled = Hex.bytes("133457799BBCDFF1133457799BBCDFF1");
        assertArrayEquals(cipher, Crypto.tripleDesEncrypt(doubled, plain));
        assertArrayEquals(plain, Crypto.tripleDesDecrypt(doubled, cipher));
        assertEquals(16, Crypto.diversify(doubled, plain).length);

        byte[] block = Crypto.pinBlock("1234", "4000123412341234", doubled);
        assertEquals("1234", Crypto.pinFromBlock(block, "4000123412341234", doubled));
        assertThrows(ProtocolException.class, () -> Crypto.pinFromBlock(block, "4000999999999999", doubled));
        assertThrows(IllegalArgumentException.class, () -> Crypto.desEncrypt(new byte[7], plain));
    }
}
