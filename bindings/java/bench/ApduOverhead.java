package qd500;

import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import qd500.testing.Simulator;

/**
 * What the binding adds to one APDU: Reader.transmit against the same
 * qd500_transmit called from C (apdu_rounds) and straight through JNA, on
 * one simulator, in alternating blocks so drift in the machine's load hits
 * all three. Args: C_PROGRAM [ROUNDS [BAUD]]; BAUD 0 leaves the line unpaced.
 */
public final class ApduOverhead {
    private static final byte[] CHALLENGE = Hex.bytes("0084000008");
    private static final int BLOCKS = 5;

    public static void main(String[] args) throws Exception {
        String cProgram = args[0];
        int rounds = args.length > 1 ? Integer.parseInt(args[1]) : 200;
        int baud = args.length > 2 ? Integer.parseInt(args[2]) : 9600;
        List<Long> binding = new ArrayList<>();
        List<Long> jna = new ArrayList<>();
        List<Long> c = new ArrayList<>();
        try (Simulator sim = baud == 0 ? Simulator.start(null) : Simulator.start(null, baud)) {
            for (int block = 0; block < BLOCKS; block++) {
                try (Reader reader = new Reader(sim.port())) {
                    reader.selectCard("CPU");
                    reader.powerOn();
                    boolean warm = block == 0;
                    for (int i = 0; i < rounds; i++) {
                        long started = System.nanoTime();
                        Response answer = reader.transmit(CHALLENGE);
                        long took = System.nanoTime() - started;
                        if (answer.sw() != 0x9000) {
                            throw new IllegalStateException(answer.toString());
                        }
                        if (!warm) {
                            binding.add(took);
                        }
                    }
                    NativeLib.Api lib = NativeLib.lib();
                    com.sun.jna.Memory resp = new com.sun.jna.Memory(NativeLib.RESPONSE_MAX);
                    com.sun.jna.Memory len = new com.sun.jna.Memory(com.sun.jna.Native.SIZE_T_SIZE);
                    NativeLib.SizeT n = NativeLib.size(CHALLENGE.length);
                    NativeLib.SizeT cap = NativeLib.size(NativeLib.RESPONSE_MAX);
                    for (int i = 0; i < rounds; i++) {
                        long started = System.nanoTime();
                        int result = lib.qd500_transmit(reader.handle(), CHALLENGE, n, resp, cap, len);
                        long took = System.nanoTime() - started;
                        if (result != 0) {
                            throw new IllegalStateException("transmit " + result);
                        }
                        if (!warm) {
                            jna.add(took);
                        }
                    }
                }
                Process p = new ProcessBuilder(cProgram, sim.port(), Integer.toString(rounds))
                        .redirectError(ProcessBuilder.Redirect.INHERIT).start();
                try (BufferedReader out = new BufferedReader(new InputStreamReader(p.getInputStream()))) {
                    for (String line; (line = out.readLine()) != null;) {
                        if (block != 0) {
                            c.add(Long.parseLong(line.trim()));
                        }
                    }
                }
                if (p.waitFor() != 0) {
                    throw new IllegalStateException("apdu_rounds failed");
                }
            }
        }
        double mb = median(binding), mj = median(jna), mc = median(c);
        System.out.printf("baud %s, %d rounds x %d blocks each (first block warm-up, not counted)%n",
                baud == 0 ? "unpaced" : Integer.toString(baud), rounds, BLOCKS - 1);
        System.out.printf("median round trip: binding %.1f us, JNA direct %.1f us, C %.1f us%n",
                mb / 1e3, mj / 1e3, mc / 1e3);
        System.out.printf("binding / C = %.4f, binding / JNA direct = %.4f, binding - C = %.1f us a call%n",
                mb / mc, mb / mj, (mb - mc) / 1e3);
    }

    private static double median(List<Long> values) {
        long[] sorted = values.stream().mapToLong(Long::longValue).toArray();
        Arrays.sort(sorted);
        int mid = sorted.length / 2;
        return sorted.length % 2 == 1 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2.0;
    }
}
