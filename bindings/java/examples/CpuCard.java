import qd500.Hex;
import qd500.Reader;
import qd500.Response;

/** A CPU card: its ATR, SELECT with GET RESPONSE, then VERIFY. Args: PORT. */
public class CpuCard {
    public static void main(String[] args) {
        try (Reader reader = new Reader(args[0])) {
            reader.selectCard("CPU");
            System.out.println("ATR " + Hex.of(reader.powerOn()));
            // 61xx is followed by GET RESPONSE: the answer is the FCI and 9000.
            Response fci = reader.transmit(Hex.bytes("00A40000023F00"), true);
            System.out.printf("SW %04X, FCI %s%n", fci.sw(), Hex.of(fci.data()));
            reader.verifyPin(Hex.bytes("123456"), 1); // WrongCodeException tells the tries left
            reader.powerOff();
        }
    }
}
