// Watches the X display for the benchmark.
//
// With a program: starts it and reports how long it took until something of it was shown, its
// icon docked in the tint2 tray (--tray) or a window with a given title (--title). The display
// is polled: every poll walks the window tree, and the figure is the end of the first poll that
// sees it, so it is late by at most one poll period, which is printed too. With --registered
// FILE, the icon is a StatusNotifierItem: FILE is bench_sni_watcher's output, and the figure is
// the time of the first registration it notes after the start (no polling delay). With
// --no-wait, nothing is awaited (the figure is 0). The program is left running, in a process
// group of its own, with no descriptor of ours but its output; this stays its parent until it
// ends.
//   bench_xwatch --tray | --title TITLE | --registered FILE | --no-wait [--timeout-ms N]
//                [--poll-us N] [--log FILE] -- PROGRAM [ARGUMENT...]
//   prints: PID MILLISECONDS MEAN_POLL_PERIOD_MS, or PID timeout, or PID exited
//
// Without one: --wait-tray waits until a tint2 panel is shown and owns the tray; --count TITLE
// prints how many windows with that title are shown outside the tray (an alert, say).
#include <xcb/xcb.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options
{
    bool tray = false;
    bool waitTray = false;
    bool noWait = false;
    std::string registered;
    std::string title;
    std::string count;
    long timeoutMs = 20000;
    long pollUs = 1000;
    std::string log = "/dev/null";
    char** program = nullptr;
};

xcb_atom_t atom(xcb_connection_t* x, const char* name)
{
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        x, xcb_intern_atom(x, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t result = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return result;
}

std::string property(xcb_connection_t* x, xcb_window_t window, xcb_atom_t name, xcb_atom_t type)
{
    xcb_get_property_reply_t* reply =
        xcb_get_property_reply(x, xcb_get_property(x, 0, window, name, type, 0, 256), nullptr);
    std::string value;
    if (reply) {
        value.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                     static_cast<size_t>(xcb_get_property_value_length(reply)));
        std::free(reply);
    }
    return value;
}

// Every window below the given ones, the given ones included; the requests of one level of the
// tree go out together.
std::vector<xcb_window_t> subtree(xcb_connection_t* x, std::vector<xcb_window_t> level)
{
    std::vector<xcb_window_t> all = level;
    while (!level.empty()) {
        std::vector<xcb_query_tree_cookie_t> cookies;
        for (xcb_window_t window : level)
            cookies.push_back(xcb_query_tree(x, window));
        std::vector<xcb_window_t> next;
        for (xcb_query_tree_cookie_t cookie : cookies) {
            xcb_query_tree_reply_t* reply = xcb_query_tree_reply(x, cookie, nullptr);
            if (!reply)
                continue; // the window went away meanwhile
            const xcb_window_t* children = xcb_query_tree_children(reply);
            next.insert(next.end(), children, children + xcb_query_tree_children_length(reply));
            std::free(reply);
        }
        all.insert(all.end(), next.begin(), next.end());
        level = std::move(next);
    }
    return all;
}

std::vector<xcb_window_t> viewable(xcb_connection_t* x, const std::vector<xcb_window_t>& windows)
{
    std::vector<xcb_get_window_attributes_cookie_t> cookies;
    for (xcb_window_t window : windows)
        cookies.push_back(xcb_get_window_attributes(x, window));
    std::vector<xcb_window_t> shown;
    for (size_t i = 0; i < windows.size(); ++i) {
        xcb_get_window_attributes_reply_t* reply =
            xcb_get_window_attributes_reply(x, cookies[i], nullptr);
        if (reply && reply->map_state == XCB_MAP_STATE_VIEWABLE)
            shown.push_back(windows[i]);
        std::free(reply);
    }
    return shown;
}

bool isTint2(xcb_connection_t* x, xcb_window_t window)
{
    // WM_CLASS holds the instance and the class name, each ending in a zero byte.
    return property(x, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING).find("tint2") !=
           std::string::npos;
}

bool parse(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--tray") {
            options.tray = true;
        } else if (word == "--no-wait") {
            options.noWait = true;
        } else if (word == "--registered" && i + 1 < argc) {
            options.registered = argv[++i];
        } else if (word == "--wait-tray") {
            options.waitTray = true;
        } else if (word == "--title" && i + 1 < argc) {
            options.title = argv[++i];
        } else if (word == "--count" && i + 1 < argc) {
            options.count = argv[++i];
        } else if (word == "--timeout-ms" && i + 1 < argc) {
            options.timeoutMs = std::atol(argv[++i]);
        } else if (word == "--log" && i + 1 < argc) {
            options.log = argv[++i];
        } else if (word == "--poll-us" && i + 1 < argc) {
            options.pollUs = std::atol(argv[++i]);
        } else if (word == "--" && i + 1 < argc) {
            options.program = argv + i + 1;
            return options.tray + !options.title.empty() + !options.registered.empty() +
                       options.noWait ==
                   1;
        } else {
            return false;
        }
    }
    return options.waitTray != !options.count.empty();
}

class Display
{
public:
    Display() : m_x(xcb_connect(nullptr, &m_screen)) {}
    ~Display() { xcb_disconnect(m_x); }
    bool ok() const { return !xcb_connection_has_error(m_x); }
    xcb_connection_t* x() const { return m_x; }
    xcb_window_t root() const
    {
        xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(m_x));
        for (int i = 0; i < m_screen; ++i)
            xcb_screen_next(&screens);
        return screens.data->root;
    }
    std::vector<xcb_window_t> panels() const
    {
        std::vector<xcb_window_t> found;
        for (xcb_window_t window : subtree(m_x, {root()}))
            if (window != root() && isTint2(m_x, window))
                found.push_back(window);
        return found;
    }
    bool titled(xcb_window_t window, const std::string& title) const
    {
        static const xcb_atom_t netWmName = atom(m_x, "_NET_WM_NAME");
        static const xcb_atom_t utf8 = atom(m_x, "UTF8_STRING");
        return property(m_x, window, netWmName, utf8) == title ||
               property(m_x, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING) == title;
    }

private:
    int m_screen = 0;
    xcb_connection_t* m_x;
};

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The time of the first registration noted in the watcher's output past `offset`, as
// milliseconds of CLOCK_MONOTONIC (steady_clock's), or a negative number when none is there yet.
double registeredMs(const std::string& file, std::streamoff offset)
{
    std::ifstream notes(file);
    notes.seekg(offset);
    double ms = -1;
    std::string line;
    if (std::getline(notes, line) && !notes.eof())
        ms = std::atof(line.c_str());
    return ms;
}

std::streamoff fileSize(const std::string& file)
{
    std::ifstream notes(file, std::ios::ate);
    return notes ? static_cast<std::streamoff>(notes.tellg()) : 0;
}

int waitForTray(const Display& display, const Options& options)
{
    const Clock::time_point start = Clock::now();
    const xcb_atom_t selection = atom(display.x(), "_NET_SYSTEM_TRAY_S0");
    for (;;) {
        xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(
            display.x(), xcb_get_selection_owner(display.x(), selection), nullptr);
        const bool owned = owner && owner->owner != XCB_WINDOW_NONE;
        std::free(owner);
        if (owned && !viewable(display.x(), display.panels()).empty())
            return 0;
        if (msSince(start) > options.timeoutMs) {
            std::fprintf(stderr, "bench_xwatch: no tint2 tray on the display\n");
            return 1;
        }
        ::usleep(10000);
    }
}

int countShown(const Display& display, const Options& options)
{
    const std::vector<xcb_window_t> panels = display.panels();
    const std::vector<xcb_window_t> tray = subtree(display.x(), panels);
    const std::set<xcb_window_t> inTray(tray.begin(), tray.end());
    int shown = 0;
    for (xcb_window_t window : viewable(display.x(), subtree(display.x(), {display.root()})))
        if (inTray.count(window) == 0 && display.titled(window, options.count))
            ++shown;
    std::printf("%d\n", shown);
    return 0;
}

[[noreturn]] void runProgram(const Options& options)
{
    // A group of its own, so that whatever it starts can be ended with it; its output goes to
    // the log, so that whoever reads ours is not kept waiting for it to end.
    ::setpgid(0, 0);
    const int log = ::open(options.log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log >= 0) {
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
    }
    // Nothing inherited from whoever started the benchmark is counted as the program's own.
    ::close_range(3, ~0U, 0);
    ::execvp(options.program[0], options.program);
    std::perror("bench_xwatch: exec");
    ::_exit(127);
}

volatile pid_t watchedGroup = 0;

void forwardSignal(int number)
{
    if (watchedGroup > 0)
        ::kill(-watchedGroup, number);
}

// Tells the result at once, then stays the program's parent until it ends: while we live its
// process id cannot be handed to another process, so the benchmark may signal it safely. A
// request to end us ends the program's group first.
int stayParent(pid_t pid, int result)
{
    watchedGroup = pid;
    struct sigaction forward = {};
    forward.sa_handler = forwardSignal;
    sigemptyset(&forward.sa_mask);
    for (int number : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(number, &forward, nullptr);
    std::fclose(stdout);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    return result;
}

int watchProgram(const Display& display, const Options& options)
{
    // The tray's windows, and what is already shown in them, before the program starts.
    const std::vector<xcb_window_t> panels = display.panels();
    std::set<xcb_window_t> before;
    if (options.tray) {
        if (panels.empty()) {
            std::fprintf(stderr, "bench_xwatch: no tint2 panel on the display\n");
            return 1;
        }
        for (xcb_window_t window : subtree(display.x(), panels))
            before.insert(window);
    }

    const std::streamoff notedBefore =
        options.registered.empty() ? 0 : fileSize(options.registered);
    const Clock::time_point start = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0)
        return 1;
    if (pid == 0)
        runProgram(options);
    if (options.noWait) {
        std::printf("%d 0 0\n", pid);
        return stayParent(pid, 0);
    }
    const double startMs =
        std::chrono::duration<double, std::milli>(start.time_since_epoch()).count();

    xcb_connection_t* x = display.x();
    long polls = 0;
    const timespec pause{0, options.pollUs * 1000};
    for (;;) {
        bool shown = false;
        double shownMs = -1;
        if (!options.registered.empty()) {
            const double noted = registeredMs(options.registered, notedBefore);
            shown = noted >= 0;
            shownMs = noted - startMs;
        } else if (options.tray) {
            for (xcb_window_t window : viewable(x, subtree(x, panels))) {
                // The program's own window, not a holder the tray made for it.
                if (before.count(window) == 0 &&
                    !property(x, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING).empty() &&
                    !isTint2(x, window)) {
                    shown = true;
                    break;
                }
            }
        } else {
            for (xcb_window_t window : viewable(x, subtree(x, {display.root()}))) {
                if (display.titled(window, options.title)) {
                    shown = true;
                    break;
                }
            }
        }
        ++polls;
        const double elapsedMs = msSince(start);
        if (shown) {
            // The end of the first poll that saw it: shown by then, at most one period earlier.
            // A registration carries its own time.
            std::printf("%d %.3f %.3f\n", pid, shownMs >= 0 ? shownMs : elapsedMs,
                        elapsedMs / static_cast<double>(polls));
            return stayParent(pid, 0);
        }
        if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            std::printf("%d exited\n", pid);
            return 1;
        }
        if (elapsedMs > options.timeoutMs) {
            std::printf("%d timeout\n", pid);
            ::kill(-pid, SIGKILL);
            return stayParent(pid, 1);
        }
        ::nanosleep(&pause, nullptr);
    }
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: %s --tray | --title TITLE | --registered FILE | --no-wait "
                     "[--timeout-ms N] [--poll-us N] [--log FILE] -- PROGRAM [ARGUMENT...]\n"
                     "       %s --wait-tray [--timeout-ms N] | --count TITLE\n",
                     argv[0], argv[0]);
        return 2;
    }
    const Display display;
    if (!display.ok()) {
        std::fprintf(stderr, "bench_xwatch: cannot open the display\n");
        return 1;
    }
    if (options.waitTray)
        return waitForTray(display, options);
    if (!options.count.empty())
        return countShown(display, options);
    return watchProgram(display, options);
}
