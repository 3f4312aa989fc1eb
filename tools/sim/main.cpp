// qd500-sim: the reader simulator on a pseudo-terminal (or an existing tty),
// with a line-based control channel on stdin or a UNIX socket.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>

#include "Hex.h"
#include "NetListener.h"
#include "Simulator.h"
#include "Vpcd.h"

using namespace qd500sim;

namespace {

int g_signal_pipe[2] = {-1, -1};

void OnSignal(int) {
    char c = 1;
    ssize_t n = write(g_signal_pipe[1], &c, 1);
    (void)n;
}

void Usage(FILE* f) {
    fprintf(f,
            "usage: qd500-sim [--pty | --device PATH] [--baud N] [--scenario FILE] [--log FILE]\n"
            "                 [--control PATH] [--link PATH] [--listen HOST:PORT]\n"
            "                 [--vpcd-listen HOST:PORT | --vpcd-connect HOST:PORT]\n"
            "       qd500-sim ctl SOCKET_OR_LINK COMMAND...\n"
            "  --pty            serve a new pseudo-terminal; its slave path is the first line on stdout\n"
            "  --device PATH    serve an existing tty instead\n"
            "  --baud N         run the line at N baud both ways (8N1, 10 bits a byte): each byte sent\n"
            "                   leaves a byte time after the one before, and each byte from the host\n"
            "                   is acted on only when it would have arrived\n"
            "  --scenario FILE  load a JSON scenario (default: a CPU card and a sample swipe)\n"
            "  --log FILE       append every frame in and out to FILE\n"
            "  --control PATH   read control commands from a UNIX socket instead of stdin\n"
            "  --link PATH      keep a symlink to the current slave at PATH; without --control,\n"
            "                   control commands are also taken on the socket PATH.control\n"
            "  --listen HOST:PORT  also serve the reader on a TCP port, one client at a time:\n"
            "                   raw bytes, or RFC 2217 when the client opens with telnet;\n"
            "                   port 0 takes a free one (printed as \"listen HOST:PORT\")\n"
            "  --vpcd-listen HOST:PORT  the CPU slot holds a card another program runs, which\n"
            "                   connects here with vpcd's protocol (as to vpcd, usually port 35963;\n"
            "                   port 0 takes a free one, printed as \"vpcd listen HOST:PORT\"); the\n"
            "                   slot starts empty, a card that connects is inserted, one that leaves removed\n"
            "  --vpcd-connect HOST:PORT  the same with a card that listens there (vicc -R):\n"
            "                   connected to at start and again a second after it left\n"
            "  ctl PATH CMD...  send one control command to a running simulator (PATH: its\n"
            "                   --control socket or its --link) and print the answer\n"
            "  --version        print the version and exit\n"
            "control commands: insert TYPE | remove | swipe TRACK2 TRACK3 | dump | quit\n"
            "  (a track given as - is one the head can't read)\n");
}

std::optional<std::string> TrackArg(const std::string& t) {
    if (t == "-") return std::nullopt;
    return t;
}

// One control line; returns the answer text, sets quit.
std::string Control(PtyServer& server, const std::string& line, bool& quit) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    if (cmd.empty()) return "";
    if (cmd == "insert") {
        std::string type, error;
        in >> type;
        if (type.empty()) return "error: insert needs a card type\n";
        return server.Insert(type, &error) ? "ok\n" : "error: " + error + "\n";
    }
    if (cmd == "remove") {
        server.Remove();
        return "ok\n";
    }
    if (cmd == "swipe") {
        std::string t2, t3;
        in >> t2 >> t3;
        if (t2.empty() || t3.empty()) return "error: swipe needs TRACK2 TRACK3 (- for unreadable)\n";
        server.Swipe(TrackArg(t2), TrackArg(t3));
        return "ok\n";
    }
    if (cmd == "dump") return server.Dump() + "ok\n";
    if (cmd == "quit") {
        quit = true;
        return "ok\n";
    }
    return "error: unknown command \"" + cmd + "\"\n";
}

std::string Stamp() {
    using namespace std::chrono;
    auto now = system_clock::now();
    time_t t = system_clock::to_time_t(now);
    tm local{};
    localtime_r(&t, &local);
    char buf[32];
    strftime(buf, sizeof buf, "%H:%M:%S", &local);
    long ms = static_cast<long>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    char out[48];
    snprintf(out, sizeof out, "%s.%03ld", buf, ms);
    return out;
}

void SendAll(int fd, const std::string& s) {
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

// The socket a simulator takes control commands on: the path itself when it
// is a socket, else (a --link) the socket beside it.
std::string ControlSocketOf(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return path;
    return path + ".control";
}

// qd500-sim ctl PATH COMMAND...: one control line, its answer on stdout (an
// error on stderr, exit 1).
int Ctl(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: qd500-sim ctl SOCKET_OR_LINK COMMAND...\n");
        return 2;
    }
    const std::string socket_path = ControlSocketOf(argv[0]);
    std::string line;
    for (int i = 1; i < argc; ++i) line += std::string(i > 1 ? " " : "") + argv[i];
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (fd < 0 || socket_path.size() >= sizeof addr.sun_path) {
        fprintf(stderr, "qd500-sim ctl: %s: path too long\n", socket_path.c_str());
        return 1;
    }
    strcpy(addr.sun_path, socket_path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        fprintf(stderr, "qd500-sim ctl: no simulator listens on %s: %s\n", socket_path.c_str(), strerror(errno));
        return 1;
    }
    SendAll(fd, line + "\n");
    // The answer ends with a line "ok" or "error: ...".
    std::string answer, pending;
    char buf[1024];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            fprintf(stderr, "qd500-sim ctl: the simulator closed the connection\n");
            close(fd);
            return 1;
        }
        pending.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            std::string l = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (l == "ok") {
                fputs(answer.c_str(), stdout);
                close(fd);
                return 0;
            }
            if (l.rfind("error: ", 0) == 0) {
                fputs(answer.c_str(), stdout);
                fprintf(stderr, "qd500-sim ctl: %s\n", l.c_str() + 7);
                close(fd);
                return 1;
            }
            answer += l + "\n";
        }
    }
}

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "ctl") return Ctl(argc - 2, argv + 2);
    std::string device, scenario_file, log_file, control_path, listen_at, vpcd_listen, vpcd_connect;
    ServerOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                fprintf(stderr, "qd500-sim: %s needs a value\n", a.c_str());
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--pty") {
        } else if (a == "--device") {
            device = value();
        } else if (a == "--baud") {
            std::string v = value();
            char* end = nullptr;
            long n = strtol(v.c_str(), &end, 10);
            if (!end || *end || n <= 0 || n > 4000000) {
                fprintf(stderr, "qd500-sim: --baud needs a positive number\n");
                return 2;
            }
            options.baud = static_cast<unsigned>(n);
        } else if (a == "--scenario") {
            scenario_file = value();
        } else if (a == "--log") {
            log_file = value();
        } else if (a == "--control") {
            control_path = value();
        } else if (a == "--listen") {
            listen_at = value();
        } else if (a == "--vpcd-listen") {
            vpcd_listen = value();
        } else if (a == "--vpcd-connect") {
            vpcd_connect = value();
        } else if (a == "--link") {
            options.link_path = value();
        } else if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        } else if (a == "--version" || a == "-V") {
            printf("qd500-sim %s\n", QD500_VERSION);
            return 0;
        } else {
            fprintf(stderr, "qd500-sim: unknown option %s\n", a.c_str());
            Usage(stderr);
            return 2;
        }
    }

    if (!vpcd_listen.empty() && !vpcd_connect.empty()) {
        fprintf(stderr, "qd500-sim: --vpcd-listen and --vpcd-connect exclude each other (one CPU slot)\n");
        return 2;
    }

    // A simulator reached through its link takes control commands beside it
    // too (qd500-sim ctl LINK ...), and still from stdin.
    const bool control_beside_link = control_path.empty() && !options.link_path.empty();
    if (control_beside_link) control_path = options.link_path + ".control";

    Scenario scenario = Scenario::Default();
    if (!scenario_file.empty()) {
        std::string error;
        auto s = Scenario::FromFile(scenario_file, &error);
        if (!s) {
            fprintf(stderr, "qd500-sim: %s: %s\n", scenario_file.c_str(), error.c_str());
            return 2;
        }
        scenario = *s;
    }

    std::ofstream log;
    if (!log_file.empty()) {
        log.open(log_file, std::ios::app);
        if (!log) {
            fprintf(stderr, "qd500-sim: cannot write %s\n", log_file.c_str());
            return 2;
        }
    }

    if (pipe2(g_signal_pipe, O_CLOEXEC) != 0) return 1;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    PtyServer server(scenario, options);
    if (log.is_open())
        server.SetLogSink([&log](const LogEntry& e) {
            log << Stamp() << (e.from_host ? " host> " : " sim>  ") << Printable(e.bytes) << "\n";
            log.flush();
        });
    const bool pty = device.empty();
    if (pty)
        server.OnNewPath([](const std::string& path) {
            printf("%s\n", path.c_str());
            fflush(stdout);
        });
    std::string error;
    if (!(pty ? server.Start(&error) : server.StartOnDevice(device, &error))) {
        fprintf(stderr, "qd500-sim: %s\n", error.c_str());
        return 1;
    }
    printf("%s\n", server.SlavePath().c_str());
    fflush(stdout);
    NetListener listener([&server] { return server.SlavePath(); });
    if (!listen_at.empty()) {
        if (!listener.Start(listen_at, &error)) {
            fprintf(stderr, "qd500-sim: %s\n", error.c_str());
            return 1;
        }
        printf("listen %s\n", listener.Address().c_str());
        fflush(stdout);
    }

    // The slot is the vpcd card's: empty until one connects.
    VpcdBridge vpcd([&server](std::unique_ptr<Card> card) {
        server.WithReader([&card](Reader& r) { r.InsertCard(std::move(card)); });
    });
    if (!vpcd_listen.empty() || !vpcd_connect.empty()) {
        server.Remove();
        const bool ok = vpcd_listen.empty() ? vpcd.Connect(vpcd_connect, &error) : vpcd.Listen(vpcd_listen, &error);
        if (!ok) {
            fprintf(stderr, "qd500-sim: %s\n", error.c_str());
            return 1;
        }
        printf("vpcd %s %s\n", vpcd_listen.empty() ? "connect" : "listen", vpcd.Address().c_str());
        fflush(stdout);
    }

    int listen_fd = -1;
    if (!control_path.empty()) {
        listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (control_path.size() >= sizeof addr.sun_path) {
            fprintf(stderr, "qd500-sim: control path too long\n");
            return 2;
        }
        strcpy(addr.sun_path, control_path.c_str());
        unlink(control_path.c_str());
        if (bind(listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listen_fd, 4) != 0) {
            fprintf(stderr, "qd500-sim: control socket %s: %s\n", control_path.c_str(), strerror(errno));
            return 1;
        }
    }

    struct Client {
        int fd;
        std::string pending;
    };
    std::vector<Client> clients;
    bool stdin_open = control_path.empty() || control_beside_link;
    std::string stdin_pending;
    bool quit = false;
    while (!quit) {
        std::vector<pollfd> fds;
        fds.push_back({g_signal_pipe[0], POLLIN, 0});
        if (stdin_open) fds.push_back({STDIN_FILENO, POLLIN, 0});
        if (listen_fd >= 0) fds.push_back({listen_fd, POLLIN, 0});
        for (auto& c : clients) fds.push_back({c.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
        size_t k = 0;
        if (fds[k++].revents & POLLIN) break;  // SIGTERM or SIGINT
        char buf[1024];
        auto lines = [&](std::string& pending, const char* data, size_t n, int out_fd) {
            pending.append(data, n);
            size_t nl;
            while (!quit && (nl = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                std::string answer = Control(server, line, quit);
                if (out_fd == STDOUT_FILENO) {
                    fputs(answer.c_str(), stdout);
                    fflush(stdout);
                } else {
                    SendAll(out_fd, answer);
                }
            }
            if (pending.size() > 4096) pending.clear();  // not a control line
        };
        if (stdin_open) {
            if (fds[k].revents & (POLLIN | POLLHUP)) {
                ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
                if (n <= 0) {
                    stdin_open = false;  // no operator: serve until a signal
                } else {
                    lines(stdin_pending, buf, static_cast<size_t>(n), STDOUT_FILENO);
                }
            }
            ++k;
        }
        if (listen_fd >= 0) {
            if (fds[k].revents & POLLIN) {
                int c = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (c >= 0) clients.push_back({c, {}});
            }
            ++k;
        }
        for (size_t i = 0; i < clients.size() && k < fds.size(); ++k) {
            if (fds[k].revents & (POLLIN | POLLHUP)) {
                ssize_t n = read(clients[i].fd, buf, sizeof buf);
                if (n <= 0) {
                    close(clients[i].fd);
                    clients.erase(clients.begin() + static_cast<long>(i));
                    continue;
                }
                lines(clients[i].pending, buf, static_cast<size_t>(n), clients[i].fd);
            }
            ++i;
        }
    }
    listener.Stop();
    vpcd.Stop();
    server.Stop();
    for (auto& c : clients) close(c.fd);
    if (listen_fd >= 0) {
        close(listen_fd);
        unlink(control_path.c_str());
    }
    return 0;
}
