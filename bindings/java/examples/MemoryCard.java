import qd500.Hex;
import qd500.Reader;
import qd500.WrongCodeException;

/** An SLE4442 memory card: read, present the code, write. Args: PORT. */
public class MemoryCard {
    public static void main(String[] args) {
        try (Reader reader = new Reader(args[0])) {
            reader.selectCard("SLE4442");
            reader.powerOn();
            System.out.println("bytes 0-15 " + Hex.of(reader.readMemory(0, 16)));
            try {
                reader.presentCode(Hex.bytes("FFFFFF"));
            } catch (WrongCodeException e) {
                System.err.println(e.getMessage());
                return;
            }
            reader.writeMemory(0x40, "hello".getBytes());
            reader.powerOff();
        }
    }
}
