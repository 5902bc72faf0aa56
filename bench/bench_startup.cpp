// Measures how velkaro starts and idles, against a floor: a bare Qt window
// with a menu bar (floor-window). For each program and run:
//
//   start    time from fork/exec to the MapNotify of the program's top-level
//            window (watched on the root window, so no polling delay);
//   memory   VmRSS and the anonymous part of it one second after the window
//            was mapped;
//   idle CPU CPU time of all threads (schedstat, nanoseconds) over the idle
//            period that follows.
//
// velkaro runs from a copy in a temporary folder whose COM1 is a link to a
// pseudo-terminal, so it opens a port as in real use. Each run ends by asking
// the window to close, as a window manager would.
//
// Usage: xvfb-run -a bench_startup [--runs N] [--idle SECONDS] [--floor-arg ARG]
//                                   [--also PATH]
// (--floor-arg --timer gives the floor an idle 50 ms timer; --also PATH runs
// another build of velkaro, e.g. an earlier one, in the same rotation, in a
// folder of its own). Prints the medians as a Markdown table.

#include <xcb/xcb.h>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double millis(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// --- The X display -----------------------------------------------------------

class Display {
public:
    Display() : connection_(xcb_connect(nullptr, nullptr)) {
        if (xcb_connection_has_error(connection_) != 0) {
            xcb_disconnect(connection_);
            throw std::runtime_error("cannot open the X display (run under xvfb-run -a)");
        }
        root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
        netWmPid_ = atom("_NET_WM_PID");
        wmProtocols_ = atom("WM_PROTOCOLS");
        wmDeleteWindow_ = atom("WM_DELETE_WINDOW");
        // Every map of a top-level window is reported as an event.
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(connection_, root_, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(connection_);
    }
    ~Display() { xcb_disconnect(connection_); }
    Display(const Display&) = delete;
    Display& operator=(const Display&) = delete;

    struct Mapped {
        Clock::time_point at;
        xcb_window_t window;
    };

    // Waits for a top-level window of process `pid` to be mapped. Nothing when
    // the process ends or the deadline passes first.
    std::optional<Mapped> waitForMap(pid_t pid, Clock::time_point deadline) {
        const int fd = xcb_get_file_descriptor(connection_);
        while (Clock::now() < deadline) {
            while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
                const Clock::time_point at = Clock::now();
                std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> owned(event, &std::free);
                if ((event->response_type & 0x7f) != XCB_MAP_NOTIFY) {
                    continue;
                }
                const xcb_window_t window =
                    reinterpret_cast<xcb_map_notify_event_t*>(event)->window;
                if (pidOf(window) == static_cast<uint32_t>(pid)) {
                    return Mapped{at, window};
                }
            }
            if (xcb_connection_has_error(connection_) != 0 ||
                ::waitpid(pid, nullptr, WNOHANG) != 0) {
                return std::nullopt;
            }
            pollfd ready{fd, POLLIN, 0};
            ::poll(&ready, 1, 5);
        }
        return std::nullopt;
    }

    // Asks the window to close, as a window manager's close box does.
    void close(xcb_window_t window) {
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = window;
        message.type = wmProtocols_;
        message.data.data32[0] = wmDeleteWindow_;
        message.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(connection_, 0, window, XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char*>(&message));
        xcb_flush(connection_);
    }

    // Forgets the events of earlier runs.
    void drain() {
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
            std::free(event);
        }
    }

private:
    xcb_atom_t atom(const char* name) {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
            connection_,
            xcb_intern_atom(connection_, 0, static_cast<uint16_t>(std::strlen(name)), name),
            nullptr);
        if (reply == nullptr) {
            throw std::runtime_error(std::string("cannot intern the atom ") + name);
        }
        const xcb_atom_t result = reply->atom;
        std::free(reply);
        return result;
    }

    uint32_t pidOf(xcb_window_t window) {
        xcb_get_property_reply_t* reply = xcb_get_property_reply(
            connection_,
            xcb_get_property(connection_, 0, window, netWmPid_, XCB_ATOM_CARDINAL, 0, 1), nullptr);
        uint32_t pid = 0;
        if (reply != nullptr && xcb_get_property_value_length(reply) == 4) {
            std::memcpy(&pid, xcb_get_property_value(reply), 4);
        }
        std::free(reply);
        return pid;
    }

    xcb_connection_t* connection_;
    xcb_window_t root_ = 0;
    xcb_atom_t netWmPid_ = 0;
    xcb_atom_t wmProtocols_ = 0;
    xcb_atom_t wmDeleteWindow_ = 0;
};

// --- What /proc tells about a process -----------------------------------------

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The number after "key" in a "Key:   1234 kB" listing, or -1.
long field(const std::string& text, const std::string& key) {
    const std::size_t at = text.find("\n" + key);
    if (at == std::string::npos) {
        return -1;
    }
    return std::strtol(text.c_str() + at + 1 + key.size(), nullptr, 10);
}

long rssKiB(pid_t pid) {
    return field("\n" + readFile("/proc/" + std::to_string(pid) + "/status"), "VmRSS:");
}

// Resident memory not backed by a file: heap, stacks, written data. Unlike
// Pss or the private part, it does not move when other programs on the
// machine map the same libraries.
long anonymousKiB(pid_t pid) {
    return field(readFile("/proc/" + std::to_string(pid) + "/smaps_rollup"), "Anonymous:");
}

// CPU time of all the process's threads so far, in nanoseconds.
long long cpuNs(pid_t pid) {
    long long total = 0;
    std::error_code error;
    for (const fs::directory_entry& task :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        total += std::strtoll(readFile(task.path() / "schedstat").c_str(), nullptr, 10);
    }
    return total;
}

// --- The programs --------------------------------------------------------------

// A copy of velkaro in its own folder, whose COM1 is a pseudo-terminal whose
// far end stays open here.
class VelkaroFolder {
public:
    explicit VelkaroFolder(const fs::path& binary) {
        char name[] = "/tmp/velkaro-startup-XXXXXX";
        if (::mkdtemp(name) == nullptr) {
            throw std::runtime_error("cannot make a temporary folder");
        }
        folder_ = name;
        program_ = folder_ / "velkaro";
        fs::copy_file(binary, program_);
        int slave = -1;
        if (::openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        termios raw{};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
        fs::create_symlink(::ttyname(slave), folder_ / "COM1");
        ::close(slave);
        std::ofstream(folder_ / "COM-BAUD.txt", std::ios::binary) << "1         ";
    }
    ~VelkaroFolder() {
        ::close(master_);
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    VelkaroFolder(const VelkaroFolder&) = delete;
    VelkaroFolder& operator=(const VelkaroFolder&) = delete;

    const fs::path& program() const { return program_; }
    fs::path log() const { return folder_ / "stderr.txt"; }

private:
    fs::path folder_;
    fs::path program_;
    int master_ = -1;
};

struct Run {
    double startMs = 0;
    double rssKiB = 0;
    double anonymousKiB = 0;
    double idleCpuMs = 0;
};

pid_t launch(const fs::path& program, const std::string& argument, const fs::path& log) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::unsetenv("QT_QPA_PLATFORM");
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        ::execl(program.c_str(), program.c_str(),
                argument.empty() ? static_cast<char*>(nullptr) : argument.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

// Closes the window and waits for the program to end; kills it after five
// seconds.
void finish(Display& display, pid_t pid, xcb_window_t window) {
    display.close(window);
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
    while (::waitpid(pid, nullptr, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            std::fprintf(stderr, "bench_startup: pid %d did not end on close; killed\n", pid);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

struct Program {
    fs::path path;
    std::string argument; // none when empty
    fs::path log;
};

Run runOnce(Display& display, const Program& program, int idleSeconds) {
    display.drain();
    const Clock::time_point start = Clock::now();
    const pid_t pid = launch(program.path, program.argument, program.log);
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    const std::optional<Display::Mapped> mapped =
        display.waitForMap(pid, start + std::chrono::seconds(30));
    if (!mapped) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        throw std::runtime_error(program.path.string() + " showed no window; see " +
                                 program.log.string());
    }
    Run run;
    run.startMs = millis(mapped->at - start);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    run.rssKiB = static_cast<double>(rssKiB(pid));
    run.anonymousKiB = static_cast<double>(anonymousKiB(pid));
    const long long cpuBefore = cpuNs(pid);
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    run.idleCpuMs = static_cast<double>(cpuNs(pid) - cpuBefore) / 1e6;
    finish(display, pid, mapped->window);
    return run;
}

// The median of one figure over the runs.
double median(const std::vector<Run>& runs, double Run::*figure) {
    std::vector<double> values;
    for (const Run& run : runs) {
        values.push_back(run.*figure);
    }
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char* argv[]) {
    int runs = 10;
    int idleSeconds = 10;
    std::string floorArgument;
    std::string also;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 < argc && option == "--runs") {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (i + 1 < argc && option == "--idle") {
            idleSeconds = std::max(1, std::atoi(argv[++i]));
        } else if (i + 1 < argc && option == "--floor-arg") {
            floorArgument = argv[++i];
        } else if (i + 1 < argc && option == "--also") {
            also = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: xvfb-run -a %s [--runs N] [--idle SECONDS] [--floor-arg ARG] "
                         "[--also PATH]\n",
                         argv[0]);
            return EXIT_FAILURE;
        }
    }

    try {
        Display display;
        VelkaroFolder folder(VELKARO_BINARY);
        const Program floorProgram{FLOOR_BINARY, floorArgument, folder.log()};
        const Program velkaroProgram{folder.program(), {}, folder.log()};
        std::unique_ptr<VelkaroFolder> alsoFolder;
        if (!also.empty()) {
            alsoFolder = std::make_unique<VelkaroFolder>(also);
        }

        // One unmeasured run each, so that all start from a warm file cache;
        // then the runs alternate.
        runOnce(display, floorProgram, 1);
        runOnce(display, velkaroProgram, 1);
        if (alsoFolder) {
            runOnce(display, {alsoFolder->program(), {}, alsoFolder->log()}, 1);
        }
        std::vector<Run> floorRuns;
        std::vector<Run> velkaroRuns;
        std::vector<Run> alsoRuns;
        for (int i = 0; i < runs; ++i) {
            floorRuns.push_back(runOnce(display, floorProgram, idleSeconds));
            velkaroRuns.push_back(runOnce(display, velkaroProgram, idleSeconds));
            if (alsoFolder) {
                alsoRuns.push_back(
                    runOnce(display, {alsoFolder->program(), {}, alsoFolder->log()}, idleSeconds));
            }
        }
        // One figure's medians; the target is met when velkaro's median is at
        // most `factor` times the floor's, or at most `bound`.
        const auto row = [&](const char* what, double Run::*figure, double scale,
                             const char* target, double factor, double bound) {
            const double f = median(floorRuns, figure) * scale;
            const double v = median(velkaroRuns, figure) * scale;
            const bool met = factor > 0 ? v <= factor * f : v <= bound;
            char ratio[16] = "";
            if (f > 0) {
                std::snprintf(ratio, sizeof ratio, "%.2f", v / f);
            }
            const char* verdict = met ? "met" : "**missed**";
            std::printf("| %s | %.1f | %.1f | %s | %s | %s |", what, f, v, ratio, target,
                        *target == '\0' ? "" : verdict);
            if (alsoFolder) {
                const double a = median(alsoRuns, figure) * scale;
                char alsoRatio[16] = "";
                if (f > 0) {
                    std::snprintf(alsoRatio, sizeof alsoRatio, "%.2f", a / f);
                }
                std::printf(" %.1f | %s |", a, alsoRatio);
            }
            std::printf("\n");
        };

        std::printf(
            "# bench_startup\n\n%u cores, build type %s, %d runs each, %d s idle%s%s%s%s\n\n"
            "| median | floor | velkaro | ratio | target | |%s\n|---|---:|---:|---:|---|---|%s\n",
            std::thread::hardware_concurrency(), BENCH_BUILD_TYPE, runs, idleSeconds,
            floorArgument.empty() ? "" : ", floor-window ", floorArgument.c_str(),
            also.empty() ? "" : ", also ", also.c_str(), also.empty() ? "" : " also | ratio |",
            also.empty() ? "" : "---:|---:|");
        row("start to window mapped, ms", &Run::startMs, 1, "≤ 1.3× floor", 1.3, 0);
        row("VmRSS once shown, KiB", &Run::rssKiB, 1, "≤ 1.15× floor", 1.15, 0);
        row("anonymous once shown, KiB", &Run::anonymousKiB, 1, "", 0, 0);
        row("idle CPU, ms per 5 s", &Run::idleCpuMs, 5.0 / idleSeconds, "≤ 10 ms per 5 s", 0, 10);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_startup: %s\n", e.what());
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
