package qd500.testing;

import java.io.IOException;
import java.net.StandardProtocolFamily;
import java.net.UnixDomainSocketAddress;
import java.nio.ByteBuffer;
import java.nio.channels.SocketChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Comparator;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

/**
 * qd500-sim on a pseudo-terminal, for application tests: a scenario (its
 * JSON text; null: the simulator's default, a CPU card) in, a port out,
 * driven through its control socket and stopped by its process id on
 * close(), or at the JVM's exit when a test never closed it.
 *
 * <pre>
 * try (Simulator sim = Simulator.start("{\"card\": {\"type\": \"S4442\"}}");
 *      Reader reader = new Reader(sim.port())) { ... }
 * </pre>
 *
 * The simulator is the system property qd500.sim, else QD500_SIM, else
 * qd500-sim on PATH.
 */
public final class Simulator implements AutoCloseable {
    private static final long START_MS = 10_000;

    private final Path dir;
    private final Process process;
    private final Thread stopper;
    private SocketChannel control;

    private Simulator(String scenario, Integer baud) throws IOException {
        dir = Files.createTempDirectory("qd500-sim-");
        List<String> command = new java.util.ArrayList<>(List.of(executable(), "--pty",
                "--control", dir.resolve("control").toString(), "--link", dir.resolve("port").toString(),
                "--log", dir.resolve("frames.log").toString()));
        if (scenario != null) {
            Files.writeString(dir.resolve("scenario.json"), scenario);
            command.add("--scenario");
            command.add(dir.resolve("scenario.json").toString());
        }
        if (baud != null) {
            command.add("--baud");
            command.add(baud.toString());
        }
        // Files, not pipes: new slave paths after hang-ups never fill a pipe nobody reads.
        process = new ProcessBuilder(command).redirectInput(ProcessBuilder.Redirect.from(new java.io.File("/dev/null")))
                .redirectOutput(dir.resolve("stdout").toFile()).redirectError(dir.resolve("stderr").toFile()).start();
        stopper = new Thread(this::end, "qd500-sim stopper");
        Runtime.getRuntime().addShutdownHook(stopper);
        try {
            long deadline = System.currentTimeMillis() + START_MS;
            while (!firstLine() || (control = connect()) == null) {
                if (!process.isAlive()) {
                    throw new IllegalStateException("qd500-sim ended: "
                            + Files.readString(dir.resolve("stderr")).strip());
                }
                if (System.currentTimeMillis() > deadline) {
                    throw new IllegalStateException("qd500-sim did not start in time");
                }
                Thread.sleep(10);
            }
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            close();
            throw new IllegalStateException("interrupted while qd500-sim started", e);
        } catch (RuntimeException | IOException e) {
            close();
            throw e;
        }
    }

    /** A simulator with that scenario (JSON text, or null for the default), unpaced. */
    public static Simulator start(String scenario) throws IOException {
        return new Simulator(scenario, null);
    }

    /** The same, its line paced at baud (10 bits a byte). */
    public static Simulator start(String scenario, int baud) throws IOException {
        return new Simulator(scenario, baud);
    }

    private static String executable() {
        String named = System.getProperty("qd500.sim");
        if (named == null || named.isEmpty()) {
            named = System.getenv("QD500_SIM");
        }
        return named == null || named.isEmpty() ? "qd500-sim" : named;
    }

    /** A link to the simulator's pty that follows it across simulated hang-ups. */
    public String port() {
        return dir.resolve("port").toString();
    }

    public long pid() {
        return process.pid();
    }

    /** Puts a fresh card of that type ("S4442", "CPU", ...) into the slot. */
    public void insert(String cardType) throws IOException {
        command("insert " + word(cardType, "card type"));
    }

    /** Takes the card out of the slot. */
    public void remove() throws IOException {
        command("remove");
    }

    /** Swipes a card past the head; null for a track it cannot read. */
    public void swipe(String track2, String track3) throws IOException {
        command("swipe " + (track2 == null ? "-" : word(track2, "track2")) + " "
                + (track3 == null ? "-" : word(track3, "track3")));
    }

    /** The slot, the head and the card's whole state, as text. */
    public String dump() throws IOException {
        return command("dump");
    }

    /** The frame log's lines so far: every frame in ("host>") and out ("sim>"). */
    public List<String> frames() throws IOException {
        return Files.readAllLines(dir.resolve("frames.log"), StandardCharsets.UTF_8);
    }

    /** Stops the simulator by its process id and removes its files. */
    @Override
    public void close() {
        end();
        try {
            Runtime.getRuntime().removeShutdownHook(stopper);
        } catch (IllegalStateException shuttingDown) {
            // The hook runs or ran already.
        }
    }

    private synchronized void end() {
        try {
            if (control != null) {
                control.close();
                control = null;
            }
        } catch (IOException ignored) {
            // Closing anyway.
        }
        if (process.isAlive()) {
            process.destroy();
            try {
                if (!process.waitFor(5, TimeUnit.SECONDS)) {
                    process.destroyForcibly().waitFor();
                }
            } catch (InterruptedException e) {
                process.destroyForcibly();
                Thread.currentThread().interrupt();
            }
        }
        try (Stream<Path> files = Files.walk(dir)) {
            files.sorted(Comparator.reverseOrder()).forEach(p -> p.toFile().delete());
        } catch (IOException ignored) {
            // Already gone.
        }
    }

    private boolean firstLine() throws IOException {
        return Files.readString(dir.resolve("stdout")).contains("\n");
    }

    private SocketChannel connect() {
        try {
            SocketChannel channel = SocketChannel.open(StandardProtocolFamily.UNIX);
            try {
                channel.connect(UnixDomainSocketAddress.of(dir.resolve("control")));
                return channel;
            } catch (IOException notYet) {
                channel.close();
                return null;
            }
        } catch (IOException e) {
            return null;
        }
    }

    private static String word(String value, String what) {
        if (value == null || value.isEmpty() || value.equals("-") || value.matches(".*\\s.*")) {
            throw new IllegalArgumentException(what + " must be a non-empty text without blanks: " + value);
        }
        return value;
    }

    /** Sends one control line; the answer's text before its closing "ok". */
    private synchronized String command(String line) throws IOException {
        if (control == null) {
            throw new IllegalStateException("the simulator is not running");
        }
        control.write(ByteBuffer.wrap((line + "\n").getBytes(StandardCharsets.UTF_8)));
        StringBuilder answer = new StringBuilder();
        ByteBuffer chunk = ByteBuffer.allocate(4096);
        while (true) {
            chunk.clear();
            if (control.read(chunk) < 0) {
                throw new IOException("the simulator closed its control socket on " + line);
            }
            answer.append(new String(chunk.array(), 0, chunk.position(), StandardCharsets.UTF_8));
            String text = answer.toString();
            if (!text.endsWith("\n")) {
                continue;
            }
            String[] lines = text.split("\n");
            String last = lines[lines.length - 1];
            if (last.equals("ok")) {
                return String.join("\n", List.of(lines).subList(0, lines.length - 1));
            }
            if (last.startsWith("error: ")) {
                throw new IOException(line + ": " + last.substring(7));
            }
        }
    }
}
