package qd500;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.util.function.Consumer;
import java.util.stream.Stream;
import qd500.testing.Simulator;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.api.Test;

/** Each failure's class, raised by the condition it names, with result, status and text. */
class ErrorsTest {
    static Stream<Arguments> conditions() {
        Consumer<Reader> powerOn = Reader::powerOn;
        Consumer<Reader> slow = r -> {
            r.setTimeoutMs(500);
            r.selectCard("CPU");
        };
        return Stream.of(
                Arguments.of("{\"card\": {\"type\": \"none\"}}", powerOn, NoCardException.class, 21, "21"),
                Arguments.of("{\"faults\": [{\"kind\": \"delay\", \"delay_ms\": 1500, \"times\": 1}]}", slow,
                        TimeoutException.class, -3, ""),
                Arguments.of("{\"faults\": [{\"kind\": \"hangup\", \"times\": 1}]}", powerOn,
                        LineException.class, -4, ""),
                Arguments.of("{\"faults\": [{\"kind\": \"status\", \"status\": \"AB\"}]}", powerOn,
                        ProtocolException.class, -5, ""),
                Arguments.of("{}", (Consumer<Reader>) r -> r.selectCard("NOSUCH"), ArgumentException.class, -1, ""));
    }

    @ParameterizedTest
    @MethodSource("conditions")
    void conditionThrowsItsClass(String scenario, Consumer<Reader> call, Class<? extends ReaderException> type,
            int result, String status) throws Exception {
        try (Simulator sim = Simulator.start(scenario); Reader reader = new Reader(sim.port())) {
            ReaderException e = assertThrows(type, () -> call.accept(reader));
            assertEquals(type, e.getClass());
            assertEquals(result, e.result());
            assertEquals(status, e.status());
            assertFalse(e.readerMessage().isEmpty());
        }
    }

    @Test
    void messageIsEnglishWithTheReadersText() throws Exception {
        try (Simulator sim = Simulator.start("{\"card\": {\"type\": \"none\"}}");
                Reader reader = new Reader(sim.port())) {
            NoCardException e = assertThrows(NoCardException.class, reader::powerOn);
            assertEquals("result 21: no card in the reader (无卡!)", e.getMessage());
        }
    }
}
