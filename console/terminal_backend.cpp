#include "console/terminal_backend.hpp"

#include <array>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <curses.h>

#include "console/key_decoder.hpp"
#include "console/message_box_layout.hpp"
#include "console/terminal_glyphs.hpp"

namespace {

enum class ColourMode { Sixteen, Eight, None };

constexpr int kEscapeWaitMilliseconds = 40;
constexpr unsigned char kTitleBarAttribute = 0x1F;  // bright white on blue
constexpr unsigned char kBoxAttribute = 0x70;       // black on light grey
constexpr const char* kPushTitle = "\033[22;0t";
constexpr const char* kPopTitle = "\033[23;0t";

// What a signal handler needs to give the terminal back, prepared while it is safe to prepare.
struct EmergencyRestore {
    char sequence[512] = {};
    std::size_t length = 0;
    termios modes{};
    volatile sig_atomic_t armed = 0;
};

EmergencyRestore gEmergency;
int gResizePipe[2] = {-1, -1};
volatile sig_atomic_t gResizePending = 0;

void onWindowResized(int) {
    const int saved = errno;
    gResizePending = 1;
    if (gResizePipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(gResizePipe[1], &byte, 1);
    }
    errno = saved;
}

// Sequences curses knows nothing of go straight to the terminal, after what curses has drawn.
void writeToTerminal(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return;
        }
        done += static_cast<std::size_t>(put);
    }
}

void appendEmergency(const char* text) {
    if (text == nullptr || text == reinterpret_cast<const char*>(-1)) {
        return;
    }
    const std::size_t length = std::strlen(text);
    if (gEmergency.length + length < sizeof gEmergency.sequence) {
        std::memcpy(gEmergency.sequence + gEmergency.length, text, length);
        gEmergency.length += length;
    }
}

const char* capability(const char* name) {
    const char* value = tigetstr(name);
    return value == reinterpret_cast<const char*>(-1) ? nullptr : value;
}

bool terminalShowsTitles() {
    const char* type = std::getenv("TERM");
    if (type == nullptr) {
        return false;
    }
    for (const char* prefix : {"xterm", "rxvt", "screen", "tmux", "alacritty", "kitty", "foot",
                               "gnome", "konsole", "vte", "wezterm", "st-"}) {
        if (std::strncmp(type, prefix, std::strlen(prefix)) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

struct TerminalState {
    SCREEN* screen = nullptr;
    ColourMode colours = ColourMode::None;
    bool unicode = false;
    bool titles = false;
    bool titlePushed = false;
    std::deque<KeyEvent> keys;
    KeyDecoder decoder;
    int viewTop = 0;
    int viewLeft = 0;
    std::array<bool, 257> pairReady{};
};

namespace {

int colourPair(TerminalState& terminal, unsigned char attribute, attr_t& extra) {
    const int foreground = attribute & 15;
    const int background = attribute >> 4;
    extra = A_NORMAL;
    switch (terminal.colours) {
        case ColourMode::Sixteen: {
            const int pair = 1 + attribute;
            if (!terminal.pairReady[pair]) {
                init_pair(static_cast<short>(pair),
                          static_cast<short>(ansiColourForConsoleColour(foreground)),
                          static_cast<short>(ansiColourForConsoleColour(background)));
                terminal.pairReady[pair] = true;
            }
            return pair;
        }
        case ColourMode::Eight: {
            const int pair = 1 + (background & 7) * 8 + (foreground & 7);
            if (!terminal.pairReady[pair]) {
                init_pair(static_cast<short>(pair),
                          static_cast<short>(ansiColourForConsoleColour(foreground & 7)),
                          static_cast<short>(ansiColourForConsoleColour(background & 7)));
                terminal.pairReady[pair] = true;
            }
            if ((foreground & 8) != 0) {
                extra = A_BOLD;
            }
            return pair;
        }
        case ColourMode::None:
            if (background >= 7) {
                extra = A_REVERSE;  // light background: dark text on light, as meant
            }
            return 0;
    }
    return 0;
}

void drawCell(TerminalState& terminal, int row, int column, unsigned char character,
              unsigned char attribute) {
    attr_t extra = A_NORMAL;
    const int pair = colourPair(terminal, attribute, extra);
    if (terminal.unicode) {
        wchar_t glyph[2] = {glyphForByte(character), L'\0'};
        if (::wcwidth(glyph[0]) != 1) {
            glyph[0] = L'?';
        }
        cchar_t cell;
        setcchar(&cell, glyph, extra, static_cast<short>(pair), nullptr);
        mvadd_wch(row, column, &cell);
    } else {
        mvaddch(row, column,
                static_cast<chtype>(static_cast<unsigned char>(asciiGlyphForByte(character))) |
                    extra | COLOR_PAIR(pair));
    }
}

void applyPendingResize(TerminalState&) {
    if (gResizePending == 0) {
        return;
    }
    gResizePending = 0;
    char drain[64];
    while (gResizePipe[0] >= 0 && ::read(gResizePipe[0], drain, sizeof drain) > 0) {
    }
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
        resizeterm(size.ws_row, size.ws_col);
    }
    clearok(curscr, TRUE);
}

// The console window over its screen buffer: as large as the terminal allows, moved so that the
// cursor stays in view.
void followCursor(TerminalState& terminal, const ScreenBuffer& screen, int viewRows,
                  int viewColumns) {
    const int cursorRow = screen.cursorRow - 1;
    const int cursorColumn = screen.cursorColumn - 1;
    if (cursorRow < terminal.viewTop) {
        terminal.viewTop = cursorRow;
    } else if (cursorRow >= terminal.viewTop + viewRows) {
        terminal.viewTop = cursorRow - viewRows + 1;
    }
    if (cursorColumn < terminal.viewLeft) {
        terminal.viewLeft = cursorColumn;
    } else if (cursorColumn >= terminal.viewLeft + viewColumns) {
        terminal.viewLeft = cursorColumn - viewColumns + 1;
    }
    terminal.viewTop = std::max(0, std::min(terminal.viewTop, screen.height - viewRows));
    terminal.viewLeft = std::max(0, std::min(terminal.viewLeft, screen.width - viewColumns));
}

void drawScreen(TerminalState& terminal, const ScreenBuffer& screen) {
    applyPendingResize(terminal);
    const int viewRows = std::min(LINES, screen.height);
    const int viewColumns = std::min(COLS, screen.width);
    followCursor(terminal, screen, viewRows, viewColumns);
    for (int row = 0; row < viewRows; ++row) {
        for (int column = 0; column < viewColumns; ++column) {
            const ScreenCell& cell =
                cellAt(screen, terminal.viewTop + row + 1, terminal.viewLeft + column + 1);
            drawCell(terminal, row, column, cell.character, cell.attribute);
        }
        if (viewColumns < COLS) {
            attrset(A_NORMAL);
            move(row, viewColumns);
            clrtoeol();
        }
    }
    if (viewRows < LINES) {
        attrset(A_NORMAL);
        move(viewRows, 0);
        clrtobot();
    }
    move(screen.cursorRow - 1 - terminal.viewTop, screen.cursorColumn - 1 - terminal.viewLeft);
}

void drawMessageBox(TerminalState& terminal, const std::string& title, const std::string& text) {
    const MessageBoxLayout layout = layoutMessageBox(COLS, LINES, title, text);
    for (std::size_t i = 0; i < layout.rows.size(); ++i) {
        const MessageBoxRow& row = layout.rows[i];
        const std::size_t button =
            row.role == MessageBoxRowRole::Button ? row.text.find("[ OK ]") : std::string::npos;
        for (int column = 0; column < layout.width; ++column) {
            const bool highlighted =
                row.role == MessageBoxRowRole::TitleBar ||
                (button != std::string::npos && static_cast<std::size_t>(column) >= button &&
                 static_cast<std::size_t>(column) < button + 6);
            drawCell(terminal, layout.top + static_cast<int>(i), layout.left + column,
                     static_cast<unsigned char>(row.text[column]),
                     highlighted ? kTitleBarAttribute : kBoxAttribute);
        }
    }
}

[[noreturn]] void terminalGone() {
    std::raise(SIGHUP);
    restoreTerminalAfterSignal();
    ::_exit(129);
}

// Waits for bytes from the terminal and decodes them; redraws after a resize.
void waitForKeys(TerminalState& terminal, const ScreenBuffer& screen, const std::string* title,
                 const std::string* text) {
    while (terminal.keys.empty()) {
        if (gResizePending != 0) {
            drawScreen(terminal, screen);
            if (title != nullptr) {
                drawMessageBox(terminal, *title, *text);
            }
            refresh();
        }
        pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {gResizePipe[0], POLLIN, 0}};
        const int timeout = keyDecoderWaiting(terminal.decoder) ? kEscapeWaitMilliseconds : -1;
        const int ready = ::poll(watched, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            terminalGone();
        }
        if (ready == 0) {
            flushKeyDecoder(terminal.decoder, terminal.keys);
            continue;
        }
        if ((watched[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            unsigned char bytes[256];
            const ssize_t got = ::read(STDIN_FILENO, bytes, sizeof bytes);
            if (got > 0) {
                for (ssize_t i = 0; i < got; ++i) {
                    decodeKeyByte(terminal.decoder, bytes[i], terminal.keys);
                }
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                terminalGone();
            }
        }
    }
}

}  // namespace

std::unique_ptr<TerminalConsole> TerminalConsole::open(std::string& reason) {
    if (::isatty(STDIN_FILENO) == 0 || ::isatty(STDOUT_FILENO) == 0) {
        reason = "cartrivex is an interactive program: its input and output must be a terminal.";
        return nullptr;
    }
    const char* type = std::getenv("TERM");
    if (type == nullptr || *type == '\0') {
        reason = "cartrivex needs to know the terminal type, but TERM is not set.";
        return nullptr;
    }
    std::setlocale(LC_CTYPE, "");
    if (::tcgetattr(STDIN_FILENO, &gEmergency.modes) != 0) {
        reason = std::string("cannot read the terminal's modes: ") + std::strerror(errno);
        return nullptr;
    }
    if (::pipe2(gResizePipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        reason = std::string("cannot watch the terminal's size: ") + std::strerror(errno);
        return nullptr;
    }
    struct sigaction resized {};
    resized.sa_handler = onWindowResized;
    sigemptyset(&resized.sa_mask);
    resized.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &resized, nullptr);

    const std::string refusal = std::string("cartrivex cannot drive a terminal of type \"") + type;
    SCREEN* screen = newterm(nullptr, stdout, stdin);
    if (screen == nullptr) {
        reason = refusal + "\".";
        signal(SIGWINCH, SIG_DFL);
        return nullptr;
    }
    // The screen is drawn cell by cell: a terminal that cannot place its cursor shows nothing.
    const char* placeCursor = tigetstr("cup");
    if (placeCursor == nullptr || placeCursor == reinterpret_cast<const char*>(-1)) {
        endwin();
        delscreen(screen);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &gEmergency.modes);
        reason = refusal + "\": it cannot place the cursor.";
        signal(SIGWINCH, SIG_DFL);
        return nullptr;
    }
    auto terminal = std::make_unique<TerminalState>();
    terminal->screen = screen;
    set_term(screen);
    raw();
    noecho();
    nonl();
    intrflush(stdscr, FALSE);
    keypad(stdscr, FALSE);
    meta(stdscr, TRUE);
    terminal->unicode = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    terminal->titles = terminalShowsTitles();
    if (has_colors()) {
        start_color();
        if (COLORS >= 16 && COLOR_PAIRS >= 257) {
            terminal->colours = ColourMode::Sixteen;
        } else if (COLORS >= 8 && COLOR_PAIRS >= 65) {
            terminal->colours = ColourMode::Eight;
        }
    }
    gEmergency.length = 0;
    appendEmergency(capability("sgr0"));
    appendEmergency(capability("cnorm"));
    appendEmergency(capability("rmcup"));
    gEmergency.armed = 1;
    return std::unique_ptr<TerminalConsole>(new TerminalConsole(std::move(terminal)));
}

TerminalConsole::TerminalConsole(std::unique_ptr<TerminalState> state) : state_(std::move(state)) {}

TerminalConsole::~TerminalConsole() {
    curs_set(1);
    endwin();
    if (state_->titlePushed) {
        writeToTerminal(kPopTitle);
    }
    delscreen(state_->screen);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &gEmergency.modes);
    gEmergency.armed = 0;
    signal(SIGWINCH, SIG_DFL);
    for (int& end : gResizePipe) {
        if (end >= 0) {
            ::close(end);
            end = -1;
        }
    }
}

void restoreTerminalAfterSignal() {
    if (gEmergency.armed == 0) {
        return;
    }
    gEmergency.armed = 0;
    [[maybe_unused]] const ssize_t ignored =
        ::write(STDOUT_FILENO, gEmergency.sequence, gEmergency.length);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &gEmergency.modes);
}

void TerminalConsole::present(const ScreenBuffer& screen) {
    drawScreen(*state_, screen);
    curs_set(screen.cursorVisible ? 1 : 0);
    refresh();
}

KeyEvent TerminalConsole::peekKey(const ScreenBuffer& screen) {
    waitForKeys(*state_, screen, nullptr, nullptr);
    return state_->keys.front();
}

void TerminalConsole::dropKey() {
    if (!state_->keys.empty()) {
        state_->keys.pop_front();
    }
}

void TerminalConsole::messageBox(const ScreenBuffer& screen, const std::string& title,
                                 const std::string& text) {
    TerminalState& terminal = *state_;
    for (;;) {
        drawScreen(terminal, screen);
        drawMessageBox(terminal, title, text);
        curs_set(0);
        refresh();
        waitForKeys(terminal, screen, &title, &text);
        const KeyEvent key = terminal.keys.front();
        terminal.keys.pop_front();
        if (dismissesMessageBox(key)) {
            break;
        }
    }
    present(screen);
}

void TerminalConsole::beep() {
    ::beep();
}

void TerminalConsole::pause(unsigned milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void TerminalConsole::setTitle(const std::string& title) {
    TerminalState& terminal = *state_;
    if (!terminal.titles) {
        return;
    }
    refresh();
    if (!terminal.titlePushed) {
        writeToTerminal(kPushTitle);
        terminal.titlePushed = true;
        gEmergency.armed = 0;
        appendEmergency(kPopTitle);
        gEmergency.armed = 1;
    }
    std::string sequence = "\033]0;";
    for (const char c : title) {
        sequence += (static_cast<unsigned char>(c) < 32 || c == 127) ? '?' : c;
    }
    sequence += '\a';
    writeToTerminal(sequence);
}
